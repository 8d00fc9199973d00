// Alert: the one modal question the agent ever asks.
#pragma once

#include <string>
#include <vector>

namespace ShadeLedgerZizadezavav {

enum class AlertStyle { warning = 0, informational = 1, critical = 2 };

// Responses: the first button added answers 1000, the second 1001, and so on.
inline constexpr long alertFirstButtonReturn = 1000;
inline constexpr long alertSecondButtonReturn = 1001;

struct Alert {
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons; // in the order added
    AlertStyle alertStyle = AlertStyle::warning;

    void setMessageText(std::string text) { messageText = std::move(text); }
    void setInformativeText(std::string text) { informativeText = std::move(text); }
    void addButtonWithTitle(std::string title) { buttons.push_back(std::move(title)); }
    void setAlertStyle(AlertStyle style) { alertStyle = style; }
    bool operator==(const Alert&) const = default;
};

class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    // Blocks until the user answers; returns the response of the button chosen.
    // Never answers the first button without the user choosing it.
    virtual long runModal(const Alert& alert) = 0;
};

} // namespace ShadeLedgerZizadezavav
