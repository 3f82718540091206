// vorngui-render DIR: draws every window template in the resources, and the main window with
// its menu bar and picture, to DIR/<id>_<name>.png without a display. The operation dialogs are
// filled as they open on the demonstration board; the others are drawn as their templates are.
#include "about_dialog.h"
#include "board_select_dialog.h"
#include "dialog_table.h"
#include "dialog_window.h"
#include "main_window.h"
#include "qt_dialog_runner.h"
#include "resource_ids.h"
#include "template_loader.h"

#include <QApplication>
#include <QDir>

#include <cstdio>
#include <map>
#include <memory>

namespace {

using namespace vorngui;

// The board selection, the About box and the operation dialog of every menu command, by
// template id, ready to open on the demonstration board.
std::map<int, std::unique_ptr<Dialog>> demonstrationDialogs(const Services& services) {
    std::map<int, std::unique_ptr<Dialog>> dialogs;
    dialogs.emplace(templates::kBoardSelect, std::make_unique<BoardSelectDialog>(services));
    auto about = std::make_unique<AboutDialog>(services);
    about->fillVersions();
    dialogs.emplace(templates::kAbout, std::move(about));
    for (int command = commands::kExit; command <= commands::kHeartbeatCheck; ++command) {
        std::unique_ptr<Dialog> dialog = createOperationDialog(command, services);
        if (dialog) {
            dialog->setBoard(nullptr, 1);
            const int id = dialog->templateId();
            dialogs.emplace(id, std::move(dialog));
        }
    }
    return dialogs;
}

bool render(Dialog& dialog, const QDir& dir) {
    qt::DialogWindow window(dialog, nullptr);
    if (!window.window()) {
        std::fprintf(stderr, "vorngui-render: %s\n", qPrintable(window.error()));
        return false;
    }
    window.view()->setMessageSink([&dialog](const std::string& text) {
        std::fprintf(stderr, "vorngui-render: template %d says \"%s\"\n", dialog.templateId(),
                     text.c_str());
    });
    if (dialog.templateId() == templates::kMainWindow) {
        qt::furnishMainWindow(
            *window.window(), [](int) {}, [] {});
    }
    window.initialize();
    QDialog& shown = *window.window();
    shown.setAttribute(Qt::WA_DontShowOnScreen);
    shown.show();
    const QString name =
        QStringLiteral("%1_%2.png").arg(dialog.templateId()).arg(shown.objectName());
    const bool saved = shown.grab().save(dir.filePath(name));
    shown.hide();
    if (!saved) {
        std::fprintf(stderr, "vorngui-render: cannot write %s\n", qPrintable(dir.filePath(name)));
    }
    return saved;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 || std::string(argv[1]) == "--help") {
        std::fprintf(stderr, "usage: vorngui-render DIR\n"
                             "Draws every window of vornGui to DIR/<id>_<name>.png, offscreen.\n");
        return argc == 2 ? 0 : 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vornGui"));
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.exists() && !QDir().mkpath(dir.path())) {
        std::fprintf(stderr, "vorngui-render: cannot create %s\n", argv[1]);
        return 1;
    }

    RuntimeRandom random;
    random.seed(machineClock().secondsNow());
    ProcessState process;
    process.demonstration = 1;
    qt::QtDialogRunner runner;
    const Services services{libraryBoardApi(), machineClock(), random, process, runner};
    std::map<int, std::unique_ptr<Dialog>> dialogs = demonstrationDialogs(services);

    bool ok = true;
    for (int id : qt::availableTemplates()) {
        Dialog plain(id, services);
        const auto found = dialogs.find(id);
        ok = render(found == dialogs.end() ? plain : *found->second, dir) && ok;
    }
    return ok ? 0 : 1;
}
