// A launched agent on the fake platform.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "agent/app_delegate.h"
#include "fake/fake_platform.h"

namespace ShadeLedgerZizadezavav {

using namespace std::chrono_literals;

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

    void launch()
    {
        delegate = std::make_shared<AppDelegate>(fake.platform());
        fake.application.setDelegate(delegate);
        fake.application.run();
    }

    void click(MenuAction action)
    {
        ASSERT_TRUE(fake.application.deliverAction(action)) << "nobody took " << actionName(action);
    }

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
