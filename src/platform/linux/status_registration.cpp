#include "platform/linux/status_registration.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

namespace ShadeLedgerZizadezavav {

StatusRegistration::StatusRegistration(Scheduler& scheduler, TrayWatcher& watcher,
    std::function<void(TrayNotice)> notify, RegistrationDelays delays)
    : scheduler_(scheduler)
    , watcher_(watcher)
    , notify_(std::move(notify))
    , delays_(delays)
{
}

StatusRegistration::~StatusRegistration()
{
    for (auto* timer : {&retry_, &trayCheck_}) {
        if (*timer) {
            (*timer)->invalidate();
        }
    }
}

void StatusRegistration::enter(RegistrationState state)
{
    ++moves_;
    state_ = state;
    if (retry_) {
        retry_->invalidate();
        retry_.reset();
    }
}

template <typename... Answer>
auto StatusRegistration::current(void (StatusRegistration::*handle)(Answer...))
{
    return [this, handle, asked = moves_](Answer... answer) {
        if (moves_ == asked) {
            (this->*handle)(std::move(answer)...);
        }
    };
}

void StatusRegistration::start()
{
    trayCheck_ = scheduler_.scheduledTimer(delays_.trayCheck, false, [this](Timer&) {
        trayCheck_.reset();
        checkForTray();
    });
}

void StatusRegistration::watcherAppeared()
{
    watcherSeen_ = true;
    refusals_ = 0;
    drops_ = 0;
    enter(RegistrationState::identifying);
    watcher_.identify(current(&StatusRegistration::identified));
}

void StatusRegistration::watcherVanished()
{
    if (state_ == RegistrationState::noWatcher) {
        return;
    }
    enter(RegistrationState::noWatcher);
    say(TrayNotice::watcherWentAway);
}

void StatusRegistration::itemUnregistered()
{
    // A registration under way ends with a look at the list anyway; the list, not the signal, has
    // the last word (the signal may be about an earlier registration).
    if (state_ == RegistrationState::registered) {
        confirm();
    }
}

void StatusRegistration::identified(ItemPath path)
{
    path_ = path;
    registerItem();
}

void StatusRegistration::registerItem()
{
    enter(RegistrationState::registering);
    watcher_.registerItem(path_, current(&StatusRegistration::answered));
}

void StatusRegistration::answered(bool accepted)
{
    if (accepted) {
        refusals_ = 0;
        // An answer is no promise that the item is shown: see that the watcher lists it.
        confirm();
        return;
    }
    // A watcher that owns its name before its object exists refuses the first calls.
    if (refusals_ == attempts) {
        giveUp(TrayNotice::refused);
        return;
    }
    retryAfter(delays_.firstRetry * (1u << refusals_++));
}

void StatusRegistration::confirm()
{
    enter(RegistrationState::confirming);
    watcher_.readListed(current(&StatusRegistration::listed));
}

void StatusRegistration::listed(std::optional<bool> listed)
{
    // A watcher without the list gives nothing to go by.
    if (listed.value_or(true)) {
        enter(RegistrationState::registered);
        return;
    }
    // GNOME's AppIndicator extension loses items in a race of its own.
    if (drops_ == attempts) {
        giveUp(TrayNotice::dropped);
        return;
    }
    retryAfter(delays_.firstReregistration * (1u << drops_++));
}

void StatusRegistration::retryAfter(std::chrono::milliseconds delay)
{
    enter(RegistrationState::waitingToRetry);
    retry_ = scheduler_.scheduledTimer(delay, false, [this](Timer&) { registerItem(); });
}

void StatusRegistration::giveUp(TrayNotice why)
{
    enter(RegistrationState::gaveUp);
    say(why);
}

void StatusRegistration::checkForTray()
{
    if (!watcherSeen_) {
        say(TrayNotice::noTray);
    } else if (state_ != RegistrationState::noWatcher) {
        // Asked whatever the registration does meanwhile: not tied to its moves.
        watcher_.readHostRegistered([this](std::optional<bool> registered) {
            // A watcher that cannot say is taken at its word that it shows items.
            if (!registered.value_or(true)) {
                say(TrayNotice::noHost);
            }
        });
    }
    // A watcher that came and went has been reported already.
}

void StatusRegistration::say(TrayNotice notice)
{
    if (notify_) {
        notify_(notice);
    }
}

namespace {

bool sameName(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x))
            == std::tolower(static_cast<unsigned char>(y));
    });
}

// What the usual fixes are called.
constexpr std::string_view gnomeExtension
    = "the AppIndicator and KStatusNotifierItem Support extension (Debian: "
      "gnome-shell-extension-appindicator)";
constexpr std::string_view itemHost
    = "a StatusNotifierItem host such as gtk-sni-tray-standalone with status-notifier-watcher "
      "(Debian: haskell-gtk-sni-tray-utils and haskell-status-notifier-item-utils)";

struct DesktopAdvice {
    std::string_view name; // as XDG_CURRENT_DESKTOP names it
    // A whole sentence; or, for GNOME, none; or, with tray set, the tray only takes XEmbed icons.
    std::string_view advice;
    std::string_view tray = {};
};

// Budgie before GNOME: Budgie's sessions say "Budgie:GNOME".
constexpr std::array<DesktopAdvice, 14> desktops{{
    {"Budgie",
        "On Budgie, install the StatusNotifier applet (Debian: budgie-sntray-plugin) and add it "
        "to the panel in Budgie Desktop Settings."},
    {"GNOME", ""},
    {"KDE", "On KDE Plasma, add the System Tray widget to a panel."},
    {"XFCE", "On Xfce, add the Status Tray Plugin to a panel."},
    {"MATE", "On MATE, add the Notification Area to a panel."},
    {"X-Cinnamon", "On Cinnamon, add the XApp Status Applet to a panel."},
    {"LXQt", "On LXQt, add the Status Notifier plugin to a panel."},
    {"sway",
        "On sway, turn on swaybar's tray (tray_output in its bar block), or run waybar with "
        "its tray module."},
    {"i3", "", "i3bar"},
    {"LXDE", "", "lxpanel"},
    {"Openbox", "", "a tray such as tint2"},
    {"Fluxbox", "", "its tray"},
    {"awesome", "", "its systray"},
    {"IceWM", "", "its tray"},
}};

std::string adviceFor(const DesktopAdvice& desktop)
{
    if (!desktop.tray.empty()) {
        return "On " + std::string(desktop.name) + ", " + std::string(desktop.tray)
            + " shows only older XEmbed icons: run " + std::string(itemHost)
            + " beside it, or use a bar that hosts these icons, such as waybar with its tray "
              "module.";
    }
    if (desktop.advice.empty()) {
        return "On GNOME, install and turn on " + std::string(gnomeExtension)
            + ", then log out and in.";
    }
    return std::string(desktop.advice);
}

} // namespace

std::string trayAdvice(std::string_view currentDesktop)
{
    for (std::size_t start = 0; start <= currentDesktop.size();) {
        std::size_t end = std::min(currentDesktop.find(':', start), currentDesktop.size());
        std::string_view name = currentDesktop.substr(start, end - start);
        auto known = std::find_if(desktops.begin(), desktops.end(),
            [&](const DesktopAdvice& desktop) { return sameName(name, desktop.name); });
        if (known != desktops.end()) {
            return adviceFor(*known);
        }
        start = end + 1;
    }
    // Unknown: the two usual reasons.
    return "A tray that shows StatusNotifierItem icons is needed: on GNOME, "
        + std::string(gnomeExtension)
        + "; beside a tray that takes only older XEmbed icons (i3bar, tint2 and the like), "
        + std::string(itemHost) + ", or a bar that hosts these icons, such as waybar.";
}

std::string noticeText(TrayNotice notice, std::string_view currentDesktop)
{
    constexpr std::string_view cannotAppear
        = "so the ShadeLedger Zizadezavav icon and its menu cannot appear. ";
    constexpr std::string_view notKept = "The system tray did not keep the ShadeLedger Zizadezavav "
                                         "icon (it ";
    constexpr std::string_view hidden = "); it stays hidden until the tray restarts.";
    switch (notice) {
    case TrayNotice::noTray:
        return "No system tray found: nothing on the session bus shows status icons (no "
               "org.kde.StatusNotifierWatcher), "
            + std::string(cannotAppear) + trayAdvice(currentDesktop);
    case TrayNotice::noHost:
        return "No system tray shows status icons: org.kde.StatusNotifierWatcher runs but no tray "
               "has registered with it, "
            + std::string(cannotAppear) + trayAdvice(currentDesktop);
    case TrayNotice::watcherWentAway:
        return "The system tray went away (org.kde.StatusNotifierWatcher left the session bus): "
               "the ShadeLedger Zizadezavav icon is gone until a tray starts again.";
    case TrayNotice::refused:
        return std::string(notKept) + "refused to register it" + std::string(hidden);
    case TrayNotice::dropped:
        return std::string(notKept) + "dropped it again and again" + std::string(hidden);
    }
    return {};
}

} // namespace ShadeLedgerZizadezavav
