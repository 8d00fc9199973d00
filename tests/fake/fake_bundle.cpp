#include "fake/fake_bundle.h"

#include "fake/fake_platform.h"

namespace ShadeLedgerZizadezavav {

void FakeBundle::removeInstalledLauncher()
{
    record_.add("bundle.removeInstalledLauncher " + path);
}

bool FakeDefaults::boolForKey(const std::string& key)
{
    record_.add("defaults.bool " + key);
    auto found = values.find(key);
    return found != values.end() && found->second;
}

void FakeDefaults::setBoolForKey(bool value, const std::string& key)
{
    record_.add("defaults.set " + key + (value ? " true" : " false"));
    values[key] = value;
}

void FakeDefaults::removeObjectForKey(const std::string& key)
{
    record_.add("defaults.remove " + key);
    values.erase(key);
}

} // namespace ShadeLedgerZizadezavav
