// Status bar and menu. The menu is a value: the core builds a whole new one and
// hands it over; the status item shows the last menu handed over.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/menu_action.h"

namespace ShadeLedgerZizadezavav {

enum class ControlState { off = 0, on = 1 };

struct MenuItem {
    bool separator = false;
    std::string title;
    // The delegate action it runs, or none. Items carry no target.
    std::optional<MenuAction> action;
    // One character, or empty for none. Always with the platform's default modifier.
    std::string keyEquivalent;
    bool enabled = true;
    ControlState state = ControlState::off;
    // Shows a checkmark box even while off.
    bool checkable = false;

    static MenuItem separatorItem()
    {
        MenuItem item;
        item.separator = true;
        return item;
    }
    static MenuItem withTitle(
        std::string title, std::optional<MenuAction> action, std::string keyEquivalent)
    {
        MenuItem item;
        item.title = std::move(title);
        item.action = action;
        item.keyEquivalent = std::move(keyEquivalent);
        return item;
    }
    void setEnabled(bool value) { enabled = value; }
    void setState(ControlState value) { state = value; }
    void setCheckable(bool value) { checkable = value; }
    bool operator==(const MenuItem&) const = default;
};

struct Menu {
    std::vector<MenuItem> items;

    void addItem(MenuItem item) { items.push_back(std::move(item)); }
    void addItemWithTitle(
        std::string title, std::optional<MenuAction> action, std::string keyEquivalent)
    {
        items.push_back(MenuItem::withTitle(std::move(title), action, std::move(keyEquivalent)));
    }
    bool operator==(const Menu&) const = default;
};

// A bundled image resource, loaded by name.
struct Image {
    std::string name;
    std::string path;
    bool isTemplate = false;
    void setTemplate(bool value) { isTemplate = value; }
};

class StatusBarButton {
public:
    virtual ~StatusBarButton() = default;
    virtual void setImage(const Image& image) = 0;
    virtual void setTitle(std::string_view title) = 0;
};

class StatusItem {
public:
    virtual ~StatusItem() = default;
    // The button, or nullptr when the status item has none.
    virtual StatusBarButton* button() = 0;
    // Replaces the whole menu shown.
    virtual void setMenu(Menu menu) = 0;
};

inline constexpr double squareStatusItemLength = -2.0;

class StatusBar {
public:
    virtual ~StatusBar() = default;
    // Never null.
    virtual std::shared_ptr<StatusItem> statusItemWithLength(double length) = 0;
    // The image resource of that name from the main bundle, or none when it does not load.
    virtual std::optional<Image> imageNamed(std::string_view name) = 0;
};

} // namespace ShadeLedgerZizadezavav
