#include "fake/fake_status_bar.h"

#include <algorithm>
#include <utility>

#include "fake/fake_platform.h"

namespace ShadeLedgerZizadezavav {

class FakeStatusBar::Button final : public StatusBarButton {
public:
    explicit Button(FakeStatusBar& bar)
        : bar_(bar)
    {
    }
    void setImage(const Image& image) override
    {
        bar_.record_.add("button.setImage " + image.name + (image.isTemplate ? " template" : ""));
        bar_.buttonImage = image;
    }
    void setTitle(std::string_view title) override
    {
        bar_.record_.add("button.setTitle " + std::string(title));
        bar_.buttonTitle = std::string(title);
    }

private:
    FakeStatusBar& bar_;
};

class FakeStatusBar::Item final : public StatusItem {
public:
    explicit Item(FakeStatusBar& bar)
        : bar_(bar)
        , button_(bar)
    {
    }
    StatusBarButton* button() override { return bar_.itemHasButton ? &button_ : nullptr; }
    void setMenu(Menu menu) override
    {
        bar_.record_.add("statusItem.setMenu");
        bar_.menus.push_back(std::move(menu));
    }

private:
    FakeStatusBar& bar_;
    Button button_;
};

std::shared_ptr<StatusItem> FakeStatusBar::statusItemWithLength(double length)
{
    record_.add("statusBar.statusItemWithLength " + std::to_string(static_cast<int>(length)));
    if (!item_) {
        item_ = std::make_shared<Item>(*this);
    }
    return item_;
}

std::optional<Image> FakeStatusBar::imageNamed(std::string_view name)
{
    record_.add("statusBar.imageNamed " + std::string(name));
    if (!imageLoads) {
        return std::nullopt;
    }
    return Image{std::string(name),
        "/opt/ShadeLedgerZizadezavav.app/Contents/Resources/" + std::string(name) + ".png"};
}

std::string FakeStatusBar::connectionLine() const
{
    return menus.empty() ? std::string("(no menu)") : menus.back().items.front().title;
}

const MenuItem* FakeStatusBar::itemTitled(std::string_view title) const
{
    if (menus.empty()) {
        return nullptr;
    }
    const auto& items = menus.back().items;
    auto found = std::find_if(items.begin(), items.end(),
        [&](const MenuItem& item) { return !item.separator && item.title == title; });
    return found == items.end() ? nullptr : &*found;
}

} // namespace ShadeLedgerZizadezavav
