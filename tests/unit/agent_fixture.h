// A launched agent on the fake platform.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "agent/app_delegate.h"
#include "fake/fake_platform.h"

namespace ShadeLedgerZizadezavav {

using namespace std::chrono_literals;

// Clicks the item of that title in the last menu handed over, as a user in a tray host
// does: an item the menu does not show, or shows disabled, cannot be clicked.
inline void clickMenuItem(FakePlatform& fake, std::string_view title)
{
    const MenuItem* item = fake.statusBar.itemTitled(title);
    ASSERT_NE(item, nullptr) << "the menu shows no \"" << title << "\"";
    ASSERT_TRUE(item->enabled && item->action) << "\"" << title << "\" cannot be clicked";
    ASSERT_TRUE(fake.application.deliverAction(*item->action)) << "nobody took " << title;
}

class AgentTest : public ::testing::Test {
protected:
    FakePlatform fake;
    std::shared_ptr<AppDelegate> delegate;

    void SetUp() override
    {
        // Bridges answer nothing unless a test says otherwise.
        fake.http.responder
            = [](const std::string&) { return FakeHTTP::Answer::failure("refused"); };
    }

    void launch() { delegate = launchOn(fake); }

    // An agent launched on another fake platform (another run, another machine).
    static std::shared_ptr<AppDelegate> launchOn(FakePlatform& platform)
    {
        auto agent = std::make_shared<AppDelegate>(platform.platform());
        platform.application.setDelegate(agent);
        platform.application.run();
        return agent;
    }

    void click(std::string_view title) { clickMenuItem(fake, title); }

    void bridgeAnswers(int status)
    {
        fake.http.responder
            = [status](const std::string&) { return FakeHTTP::Answer::withStatus(status); };
    }

    std::vector<std::string> titles() const
    {
        std::vector<std::string> found;
        for (const auto& item : fake.statusBar.lastMenu().items) {
            found.push_back(item.separator ? "---" : item.title);
        }
        return found;
    }
};

} // namespace ShadeLedgerZizadezavav
