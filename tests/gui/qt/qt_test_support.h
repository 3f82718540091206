// What the Qt front's tests share (offscreen and on a private X display): lookups of controls
// by id, and a script that plays the operator in modal windows as they appear.
#pragma once

#include "template_loader.h"

#include <gtest/gtest.h>

#include <QDialog>
#include <QObject>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <memory>

#include <ostream>

// Test failures show texts as text.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& texts, std::ostream* out) {
    *out << '{';
    for (const QString& text : texts) {
        PrintTo(text, out);
        *out << ' ';
    }
    *out << '}';
}

namespace vorngui::qt::testing {

// The control of `window` with id `id` as a T, or null (with a test failure) when there is none
// or it is of another class.
template <typename T> T* control(const QWidget& window, int id) {
    T* found = qobject_cast<T*>(findControl(window, id));
    if (!found) {
        ADD_FAILURE() << "no " << T::staticMetaObject.className() << " with id " << id << " in "
                      << window.objectName().toStdString();
    }
    return found;
}

// Steps run in the order given, each on the first visible top-level window with its object
// name ("messageBox" for message boxes), while modal runs are under way. A step not reached
// within the safety bound fails the test and closes every window so that the run ends.
class ModalScript {
public:
    using Step = std::function<void(QDialog&)>;

    ModalScript();
    ModalScript(const ModalScript&) = delete;
    ModalScript& operator=(const ModalScript&) = delete;

    // `ready`, when given, must also hold before the step runs.
    ModalScript& on(const QString& objectName, Step step, std::function<bool()> ready = {});
    // True when every step has run.
    bool done() const { return m_steps.empty(); }

private:
    struct Pending {
        QString objectName;
        Step step;
        std::function<bool()> ready;
    };
    void poll();

    std::deque<Pending> m_steps;
    int m_polls = 0;
    // Owns the queued polls: they go with the script.
    std::unique_ptr<QObject> m_context = std::make_unique<QObject>();
};

// The object names of the windows shown while it exists, in order.
class ShownWindows : public QObject {
public:
    ShownWindows();
    ~ShownWindows() override;
    QStringList names;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// Closes the message box on top with its OK button and returns its text; a failure unless it
// has one OK button, no icon and the program's name as its caption.
QString acknowledge(QDialog& messageBox);

} // namespace vorngui::qt::testing
