// Entry point: the shared application object, the one AppDelegate, the loop.
#include <memory>

#include "agent/app_delegate.h"
#include "platform/platform.h"

namespace ShadeLedgerZizadezavav {

Application* app = nullptr;
// The reference that keeps the delegate alive; the application does not own it.
std::shared_ptr<AppDelegate> delegate;

} // namespace ShadeLedgerZizadezavav

int main()
{
    using namespace ShadeLedgerZizadezavav;
    Platform& platform = sharedPlatform();
    app = &platform.application;
    delegate = std::make_shared<AppDelegate>(platform);
    app->setDelegate(delegate);
    app->run();
    // The loop has ended the agent's work; release the delegate while the
    // platform it refers to still exists.
    delegate.reset();
    return 0;
}
