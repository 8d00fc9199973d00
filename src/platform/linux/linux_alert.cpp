#include "platform/linux/linux_alert.h"

#include <csignal>
#include <functional>
#include <string>
#include <vector>

namespace ShadeLedgerZizadezavav {

static std::string dialogText(const Alert& alert)
{
    if (alert.informativeText.empty()) {
        return alert.messageText;
    }
    if (alert.messageText.empty()) {
        return alert.informativeText;
    }
    return alert.messageText + "\n\n" + alert.informativeText;
}

static const char* iconName(AlertStyle style)
{
    switch (style) {
    case AlertStyle::informational:
        return "dialog-information";
    case AlertStyle::critical:
        return "dialog-error";
    case AlertStyle::warning:
        break;
    }
    return "dialog-warning";
}

static std::vector<std::string> zenityCommand(std::string zenity, const Alert& alert)
{
    // A lone button is an acknowledgement, not a question.
    bool question = alert.buttons.size() >= 2;
    std::vector<std::string> command{
        std::move(zenity),
        question ? "--question" : "--info",
        "--title=" + alert.messageText,
        "--text=" + dialogText(alert),
        "--no-markup",
        std::string("--icon-name=") + iconName(alert.alertStyle),
    };
    if (!alert.buttons.empty()) {
        command.push_back("--ok-label=" + alert.buttons[0]);
    }
    if (question) {
        command.push_back("--cancel-label=" + alert.buttons[1]);
    }
    return command;
}

static std::vector<std::string> kdialogCommand(std::string kdialog, const Alert& alert)
{
    std::vector<std::string> command{std::move(kdialog), "--title", alert.messageText};
    if (alert.buttons.size() < 2) {
        command.insert(command.end(), {"--msgbox", dialogText(alert)});
        return command;
    }
    if (alert.alertStyle == AlertStyle::informational) {
        command.insert(command.end(),
            {"--yesno", dialogText(alert), "--yes-label", alert.buttons[0], "--no-label",
                alert.buttons[1]});
    } else {
        command.insert(command.end(),
            {"--warningcontinuecancel", dialogText(alert), "--continue-label", alert.buttons[0],
                "--cancel-label", alert.buttons[1]});
    }
    return command;
}

// The command line that asks the question, or none when no dialog tool is on PATH.
static std::vector<std::string> dialogCommand(const Alert& alert)
{
    if (GCharPtr zenity{g_find_program_in_path("zenity")}) {
        return zenityCommand(zenity.get(), alert);
    }
    if (GCharPtr kdialog{g_find_program_in_path("kdialog")}) {
        return kdialogCommand(kdialog.get(), alert);
    }
    return {};
}

LinuxAlertPresenter::LinuxAlertPresenter(LinuxApplication& application)
    : application_(application)
{
}

// A dialog the agent closes that does not go within this long is killed.
static constexpr guint cancelGraceMilliseconds = 1000;

struct DialogWait {
    GMainLoopPtr loop;
    GSubprocess* dialog = nullptr;
    bool exited = false;
    // Closed by the agent: whatever the dialog's exit status, the user answered nothing.
    bool cancelled = false;
    SourceId forceExit;
};

static void dialogExited(GObject* process, GAsyncResult* result, gpointer data)
{
    auto* wait = static_cast<DialogWait*>(data);
    GErrorPtr error;
    g_subprocess_wait_finish(G_SUBPROCESS(process), result, errorOut(error));
    debugError("Waiting for the dialog", error);
    wait->exited = true;
    g_main_loop_quit(wait->loop.get());
}

static gboolean dialogOutstayedItsGrace(gpointer data)
{
    auto* wait = static_cast<DialogWait*>(data);
    wait->forceExit.release();
    g_debug("The dialog ignored the request to close: killed");
    g_subprocess_force_exit(wait->dialog);
    return G_SOURCE_REMOVE;
}

// The application is modal while this lives.
class ModalSession {
public:
    ModalSession(LinuxApplication& application, std::function<void()> cancel)
        : application_(application)
    {
        application_.beginModal(std::move(cancel));
    }
    ~ModalSession() { application_.endModal(); }
    ModalSession(const ModalSession&) = delete;
    ModalSession& operator=(const ModalSession&) = delete;

private:
    LinuxApplication& application_;
};

long LinuxAlertPresenter::runModal(const Alert& alert)
{
    // An agent on its way out asks nothing.
    if (application_.isTerminating()) {
        return alertSecondButtonReturn;
    }
    std::vector<std::string> command = dialogCommand(alert);
    if (command.empty()) {
        g_debug("Neither zenity nor kdialog found: nothing confirmed");
        return alertSecondButtonReturn;
    }
    std::vector<const gchar*> argv;
    argv.reserve(command.size() + 1);
    for (const auto& argument : command) {
        argv.push_back(argument.c_str());
    }
    argv.push_back(nullptr);

    GErrorPtr error;
    auto dialog
        = adoptGObject(g_subprocess_newv(argv.data(), G_SUBPROCESS_FLAGS_NONE, errorOut(error)));
    if (!dialog) {
        debugError("Cannot show the dialog", error);
        return alertSecondButtonReturn;
    }

    // The nested loop keeps the status item answering while the user decides; the wait's
    // completion is dispatched on this same (default) context and ends it.
    DialogWait wait;
    wait.loop = GMainLoopPtr(g_main_loop_new(nullptr, FALSE));
    wait.dialog = dialog.get();
    g_subprocess_wait_async(dialog.get(), nullptr, dialogExited, &wait);
    {
        // Terminating asks the dialog to close, and kills one that stays past the grace.
        ModalSession modal(application_, [&wait] {
            if (wait.cancelled) {
                return;
            }
            wait.cancelled = true;
            g_subprocess_send_signal(wait.dialog, SIGTERM);
            wait.forceExit
                = SourceId(g_timeout_add(cancelGraceMilliseconds, dialogOutstayedItsGrace, &wait));
        });
        while (!wait.exited) {
            g_main_loop_run(wait.loop.get());
        }
    }
    wait.forceExit.reset();

    bool confirmed = !wait.cancelled && g_subprocess_get_if_exited(dialog.get())
        && g_subprocess_get_exit_status(dialog.get()) == 0;
    return confirmed ? alertFirstButtonReturn : alertSecondButtonReturn;
}

} // namespace ShadeLedgerZizadezavav
