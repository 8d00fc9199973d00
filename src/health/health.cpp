// Health monitoring: the bridge's port, the probe and the connection state.
#include <string>

#include "agent/app_delegate.h"
#include "health/settings.h"

namespace ShadeLedgerZizadezavav {

namespace {
constexpr Milliseconds healthInterval{3000};
} // namespace

std::int64_t AppDelegate::bridgePort()
{
    return bridgePortFromSettings(platform.files);
}

void AppDelegate::checkHealth()
{
    std::string address = "http://127.0.0.1:" + std::to_string(bridgePort()) + "/health";
    Scheduler& scheduler = platform.scheduler;
    platform.http.get(address, [weak = weak_from_this(), &scheduler](HTTPResult result) {
        // On the client's thread: only the result travels to the main queue.
        bool healthy = result.statusCode() == 200;
        scheduler.async([weak, healthy] {
            if (auto self = weak.lock()) {
                self->applyProbeResult(healthy);
            }
        });
    });
}

void AppDelegate::applyProbeResult(bool connected)
{
    if (isConnected == connected) {
        return;
    }
    isConnected = connected;
    rebuildMenu();
}

void AppDelegate::scheduleHealthCheck()
{
    healthTimer = platform.scheduler.scheduledTimer(
        healthInterval, true, [weak = weak_from_this()](Timer&) {
            if (auto self = weak.lock()) {
                self->checkHealth();
            }
        });
}

} // namespace ShadeLedgerZizadezavav
