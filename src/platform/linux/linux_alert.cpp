#include "platform/linux/linux_alert.h"

#include <csignal>
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

struct DialogWait {
    GMainLoopPtr loop;
    bool exited = false;
};

static void dialogExited(GObject* process, GAsyncResult* result, gpointer data)
{
    auto* wait = static_cast<DialogWait*>(data);
    GError* rawError = nullptr;
    g_subprocess_wait_finish(G_SUBPROCESS(process), result, &rawError);
    GErrorPtr error(rawError);
    wait->exited = true;
    g_main_loop_quit(wait->loop.get());
}

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

    GError* rawError = nullptr;
    auto dialog = adoptGObject(g_subprocess_newv(argv.data(), G_SUBPROCESS_FLAGS_NONE, &rawError));
    GErrorPtr error(rawError);
    if (!dialog) {
        g_debug("Cannot show the dialog: %s", error ? error->message : "unknown");
        return alertSecondButtonReturn;
    }

    // The nested loop keeps the status item answering while the user decides; the wait's
    // completion is dispatched on this same (default) context and ends it.
    DialogWait wait{GMainLoopPtr(g_main_loop_new(nullptr, FALSE))};
    g_subprocess_wait_async(dialog.get(), nullptr, dialogExited, &wait);
    GSubprocess* process = dialog.get();
    application_.beginModal([process] { g_subprocess_send_signal(process, SIGTERM); });
    while (!wait.exited) {
        g_main_loop_run(wait.loop.get());
    }
    application_.endModal();

    bool confirmed = g_subprocess_get_if_exited(dialog.get())
        && g_subprocess_get_exit_status(dialog.get()) == 0;
    return confirmed ? alertFirstButtonReturn : alertSecondButtonReturn;
}

} // namespace ShadeLedgerZizadezavav
