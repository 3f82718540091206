// A private X display for tests that need real window-system input: an Xvfb server on a free
// display number, stopped with its owner, and xdotool to type and click on it.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

namespace vorngui::x11 {

class PrivateDisplay {
public:
    // Starts Xvfb and waits (bounded) until it takes clients; `error()` says why not.
    PrivateDisplay();
    ~PrivateDisplay();
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;

    bool ready() const { return !m_name.isEmpty(); }
    const QString& error() const { return m_error; }
    // The display name, ":N".
    const QString& name() const { return m_name; }

private:
    std::unique_ptr<QProcess> m_server;
    QString m_name;
    QString m_error;
};

struct ToolRun {
    bool finished = false;
    int exitCode = -1;
    QString out;
};

// Runs `program` with `arguments` on the display DISPLAY names, for at most `timeoutMs`.
ToolRun runTool(const QString& program, const QStringList& arguments, int timeoutMs = 10000);

// Runs xdotool; a failure or a time-out is reported as a test failure.
QString xdotool(const QStringList& arguments);

// The id of the visible window whose title is exactly `title`, or 0.
unsigned long visibleWindow(const QString& title);

// How many windows of the program whose instance name is `name` are shown (its menus too: they
// carry no title).
int visibleWindowsOf(const QString& name);

// The window holding the keyboard focus, or 0.
unsigned long focusedWindow();

// Child processes get this so that they end with the test process, however it ends.
void endWithParent(QProcess& process);

} // namespace vorngui::x11
