#include "fake/fake_application.h"

#include <string>

#include "fake/fake_platform.h"

namespace ShadeLedgerZizadezavav {

void FakeApplication::run()
{
    if (auto delegate = delegate_.lock()) {
        delegate->applicationDidFinishLaunching();
    }
    scheduler_.drain();
}

void FakeApplication::setActivationPolicy(ActivationPolicy policy)
{
    record_.add("application.setActivationPolicy " + std::to_string(static_cast<int>(policy)));
}

void FakeApplication::terminate()
{
    record_.add("application.terminate");
    terminateFromOutside();
}

void FakeApplication::terminateFromOutside()
{
    if (terminated_) {
        return;
    }
    terminated_ = true;
    if (auto delegate = delegate_.lock()) {
        delegate->applicationWillTerminate();
    }
    record_.add("application.ended");
    scheduler_.halt();
}

bool FakeApplication::deliverAction(MenuAction action)
{
    if (terminated_) {
        return false;
    }
    auto delegate = delegate_.lock();
    if (delegate) {
        delegate->performAction(action);
    }
    scheduler_.drain();
    return delegate != nullptr;
}

} // namespace ShadeLedgerZizadezavav
