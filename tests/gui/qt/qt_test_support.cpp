// The operator script and the checks of message boxes that the Qt tests share.
#include "qt_test_support.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <memory>

namespace vorngui::qt::testing {
namespace {

// Polls every few milliseconds; about ten seconds in all before a step counts as never reached.
constexpr int kPollMs = 5;
constexpr int kMaxPolls = 2000;

QDialog* visibleWindow(const QString& objectName) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QDialog*>(widget);
        if (dialog && dialog->isVisible() && dialog->objectName() == objectName) {
            // A window under another modal window waits until that one has gone.
            QWidget* modal = QApplication::activeModalWidget();
            return !modal || modal == dialog ? dialog : nullptr;
        }
    }
    return nullptr;
}

} // namespace

ModalScript::ModalScript() {
    QTimer::singleShot(kPollMs, m_context.get(), [this] { poll(); });
}

ModalScript& ModalScript::on(const QString& objectName, Step step, std::function<bool()> ready) {
    m_steps.push_back({objectName, std::move(step), std::move(ready)});
    return *this;
}

void ModalScript::poll() {
    if (m_steps.empty()) {
        return;
    }
    // The next poll is queued before the step runs, so that polling goes on inside the modal
    // runs the step starts.
    QTimer::singleShot(kPollMs, m_context.get(), [this] { poll(); });
    const Pending& next = m_steps.front();
    QDialog* window = visibleWindow(next.objectName);
    if (window && (!next.ready || next.ready())) {
        m_polls = 0;
        Step step = std::move(m_steps.front().step);
        m_steps.pop_front();
        step(*window);
        return;
    }
    if (++m_polls > kMaxPolls) {
        ADD_FAILURE() << "window '" << m_steps.front().objectName.toStdString()
                      << "' never appeared";
        m_steps.clear();
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible()) {
                dialog->done(QDialog::Rejected);
            }
        }
    }
}

ShownWindows::ShownWindows() {
    qApp->installEventFilter(this);
}
ShownWindows::~ShownWindows() {
    qApp->removeEventFilter(this);
}

bool ShownWindows::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Show && qobject_cast<QDialog*>(watched)) {
        names << watched->objectName();
    }
    return false;
}

QString acknowledge(QDialog& messageBox) {
    auto* box = qobject_cast<QMessageBox*>(&messageBox);
    if (!box) {
        ADD_FAILURE() << "not a message box";
        return {};
    }
    EXPECT_EQ(box->windowTitle(), QStringLiteral("vornGui"));
    EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
    EXPECT_EQ(box->buttons().size(), 1);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
    const QString text = box->text();
    box->button(QMessageBox::Ok)->click();
    return text;
}

} // namespace vorngui::qt::testing
