// The status item's registration with the tray's StatusNotifierWatcher, as a state machine
// driven by the watcher's coming and going, its answers and the scheduler's timers. It knows
// nothing of D-Bus: the item (linux_status_bar.cpp) makes the calls it asks for and reports what
// happened, and a table test drives it on the fake scheduler.
//
//   noWatcher ──watcher appears──▶ identifying ──kind known──▶ registering
//   registering ──accepted──▶ confirming ──listed (or cannot say)──▶ registered
//   registering ──refused──▶ waitingToRetry (0.1 s, doubling) ──timer──▶ registering
//   confirming ──not listed──▶ waitingToRetry (first re-registration delay, doubling)
//   registered ──the watcher says it dropped the item──▶ confirming
//   five refusals in a row, or five drops, ──▶ gaveUp (one notice)
//   any state ──watcher vanishes──▶ noWatcher; ──another watcher appears──▶ identifying
// An answer that comes after the state it was asked in has been left is dropped. Some seconds
// after start, a look for a tray: no watcher yet, or a watcher without a host, is one notice.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/scheduling.h"

namespace ShadeLedgerZizadezavav {

enum class RegistrationState {
    noWatcher,
    identifying,
    registering,
    confirming,
    registered,
    waitingToRetry,
    gaveUp,
};

// The object path the item registers by: its own, or the one XApp's watcher (Cinnamon) treats as
// an indicator's, opening the menu on a left click instead of asking the item to activate.
enum class ItemPath { statusNotifierItem, indicator };

// What the person running the agent is told, on standard error.
enum class TrayNotice {
    noTray, // no watcher some seconds after start
    noHost, // a watcher, but nothing that shows its items
    watcherWentAway,
    refused, // the watcher refused the item again and again
    dropped, // the watcher dropped the item again and again
};

// The watcher, as the registration uses it. Each call answers once, later, through done; done is
// never called once the registration is gone.
class TrayWatcher {
public:
    virtual ~TrayWatcher() = default;
    // The path this watcher wants the item registered by.
    virtual void identify(std::function<void(ItemPath)> done) = 0;
    // RegisterStatusNotifierItem by that path; true when the watcher accepted.
    virtual void registerItem(ItemPath path, std::function<void(bool accepted)> done) = 0;
    // Whether RegisteredStatusNotifierItems names the item; none when it cannot be read.
    virtual void readListed(std::function<void(std::optional<bool>)> done) = 0;
    // IsStatusNotifierHostRegistered; none when it cannot be read.
    virtual void readHostRegistered(std::function<void(std::optional<bool>)> done) = 0;
};

struct RegistrationDelays {
    // Before the look for a tray.
    std::chrono::milliseconds trayCheck{5000};
    // Before registering again with a watcher that dropped the item; later ones wait twice as
    // long each.
    std::chrono::milliseconds firstReregistration{500};
    // Before registering again after a refusal, doubling likewise.
    std::chrono::milliseconds firstRetry{100};
};

class StatusRegistration {
public:
    // Registrations tried in a row before the item gives up on a watcher that refuses it, and
    // re-registrations with a watcher that keeps dropping it.
    static constexpr unsigned attempts = 5;

    StatusRegistration(Scheduler& scheduler, TrayWatcher& watcher,
        std::function<void(TrayNotice)> notify, RegistrationDelays delays = {});
    ~StatusRegistration();
    StatusRegistration(const StatusRegistration&) = delete;
    StatusRegistration& operator=(const StatusRegistration&) = delete;

    // Starts the clock of the look for a tray.
    void start();
    // A watcher owns the name now (a first one, or a new owner): it has never heard of the item.
    void watcherAppeared();
    void watcherVanished();
    // The watcher announced that it no longer lists this item.
    void itemUnregistered();

    RegistrationState state() const { return state_; }
    ItemPath path() const { return path_; }

private:
    void enter(RegistrationState state);
    // An answer is current when nothing has moved the machine since its call was made.
    template <typename... Answer> auto current(void (StatusRegistration::*handle)(Answer...));
    void identified(ItemPath path);
    void registerItem();
    void answered(bool accepted);
    void confirm();
    void listed(std::optional<bool> listed);
    void retryAfter(std::chrono::milliseconds delay);
    void giveUp(TrayNotice why);
    void checkForTray();
    void hostRead(std::optional<bool> registered);
    void say(TrayNotice notice);

    Scheduler& scheduler_;
    TrayWatcher& watcher_;
    std::function<void(TrayNotice)> notify_;
    RegistrationDelays delays_;

    RegistrationState state_ = RegistrationState::noWatcher;
    ItemPath path_ = ItemPath::statusNotifierItem;
    // Counts every change of state: answers carry the count of their call.
    std::uint64_t moves_ = 0;
    unsigned refusals_ = 0;
    unsigned drops_ = 0;
    bool watcherSeen_ = false;
    std::shared_ptr<Timer> retry_;
    std::shared_ptr<Timer> trayCheck_;
};

// What this desktop's user needs to see the icon, from XDG_CURRENT_DESKTOP (a colon-separated
// list, the most specific name first): a sentence to end the no-tray notice with.
std::string trayAdvice(std::string_view currentDesktop);
// The notice as said on standard error.
std::string noticeText(TrayNotice notice, std::string_view currentDesktop);

} // namespace ShadeLedgerZizadezavav
