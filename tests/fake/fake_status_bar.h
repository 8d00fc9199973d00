// The status bar on the fake platform: one status item, whose button and every menu handed
// over are kept for the test to read, and items found by title as a tray host finds them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status_bar.h"

namespace ShadeLedgerZizadezavav {

class CallRecord;

class FakeStatusBar final : public StatusBar {
public:
    explicit FakeStatusBar(CallRecord& record)
        : record_(record)
    {
    }
    std::shared_ptr<StatusItem> statusItemWithLength(double length) override;
    std::optional<Image> imageNamed(std::string_view name) override;

    bool itemHasButton = true;
    bool imageLoads = true;
    // Every menu handed over, in order.
    std::vector<Menu> menus;
    std::optional<Image> buttonImage;
    std::optional<std::string> buttonTitle;

    const Menu& lastMenu() const { return menus.back(); }
    // The first line of the last menu, as the user reads it.
    std::string connectionLine() const;
    // The item of that title in the last menu, as a tray host finds it; nullptr when none.
    const MenuItem* itemTitled(std::string_view title) const;

private:
    class Item;
    class Button;
    CallRecord& record_;
    // One status item, handed out again for the same request.
    std::shared_ptr<Item> item_;
};

} // namespace ShadeLedgerZizadezavav
