// The dialog view over a template's window.
#include "qt_dialog_view.h"

#include "template_loader.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QEventLoop>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>
#include <QThread>

#include <algorithm>
#include <exception>
#include <future>
#include <thread>

namespace vorngui::qt {

QString programName() {
    return QCoreApplication::applicationName();
}

QtDialogView::QtDialogView(QDialog& window) : m_window(window) {}

QWidget* QtDialogView::control(int id) const {
    QWidget* widget = findControl(m_window, id);
    if (!widget) {
        ++m_missing;
        qWarning("vornGui: window '%s' has no control %d", qPrintable(m_window.objectName()), id);
    }
    return widget;
}

void QtDialogView::onWindowThread(const std::function<void()>& work) const {
    if (QThread::currentThread() == m_window.thread()) {
        work();
        return;
    }
    // Queued to the window's thread, and waited for with a promise rather than a blocking
    // connection, so the hand-back is visible to the thread checker.
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    QMetaObject::invokeMethod(
        &m_window,
        [&work, &done] {
            work();
            done.set_value();
        },
        Qt::QueuedConnection);
    finished.wait();
}

std::string QtDialogView::text(int control) const {
    QString value;
    onWindowThread([&] {
        QWidget* widget = this->control(control);
        if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
            value = edit->text();
        } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
            value = combo->currentText();
        } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            value = button->text();
        } else if (auto* label = qobject_cast<QLabel*>(widget)) {
            value = label->text();
        } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
            value = group->title();
        }
    });
    return value.toStdString();
}

void QtDialogView::setText(int control, const std::string& text) {
    onWindowThread([&] {
        QWidget* widget = this->control(control);
        const QString value = QString::fromStdString(text);
        if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
            edit->setText(value);
        } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            button->setText(value);
        } else if (auto* label = qobject_cast<QLabel*>(widget)) {
            label->setText(value);
        } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
            group->setTitle(value);
        }
    });
}

bool QtDialogView::isChecked(int control) const {
    bool checked = false;
    onWindowThread([&] {
        if (auto* button = qobject_cast<QAbstractButton*>(this->control(control))) {
            checked = button->isChecked();
        }
    });
    return checked;
}

void QtDialogView::setChecked(int control, bool checked) {
    onWindowThread([&] {
        auto* button = qobject_cast<QAbstractButton*>(this->control(control));
        if (!button) {
            return;
        }
        // An exclusive radio button cannot be cleared directly; the dialog clears the others
        // of its range itself, as the window system's radio check does.
        const bool exclusive = button->autoExclusive();
        button->setAutoExclusive(false);
        button->setChecked(checked);
        button->setAutoExclusive(exclusive);
    });
}

void QtDialogView::setListItems(int control, const std::vector<std::string>& items) {
    onWindowThread([&] {
        auto* combo = qobject_cast<QComboBox*>(this->control(control));
        if (!combo) {
            return;
        }
        std::vector<std::string> sorted = items;
        std::sort(sorted.begin(), sorted.end());
        combo->clear();
        for (const std::string& item : sorted) {
            combo->addItem(QString::fromStdString(item));
        }
        combo->setCurrentIndex(-1);
    });
}

int QtDialogView::listSelection(int control) const {
    int position = -1;
    onWindowThread([&] {
        if (auto* combo = qobject_cast<QComboBox*>(this->control(control))) {
            position = combo->currentIndex();
        }
    });
    return position;
}

void QtDialogView::setListSelection(int control, int position) {
    onWindowThread([&] {
        if (auto* combo = qobject_cast<QComboBox*>(this->control(control))) {
            combo->setCurrentIndex(position >= 0 && position < combo->count() ? position : -1);
        }
    });
}

void QtDialogView::setEnabled(int control, bool enabled) {
    onWindowThread([&] {
        if (QWidget* widget = this->control(control)) {
            widget->setEnabled(enabled);
        }
    });
}

void QtDialogView::focusAndSelect(int control) {
    onWindowThread([&] {
        QWidget* widget = this->control(control);
        if (!widget) {
            return;
        }
        widget->setFocus(Qt::OtherFocusReason);
        if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
            edit->selectAll();
        }
    });
}

void QtDialogView::showMessage(const std::string& text) {
    onWindowThread([&] {
        if (m_messageSink) {
            m_messageSink(text);
            return;
        }
        QMessageBox box(QMessageBox::NoIcon, programName(), QString::fromStdString(text),
                        QMessageBox::Ok, &m_window);
        box.setObjectName(QStringLiteral("messageBox"));
        box.exec();
    });
}

void QtDialogView::endDialog(DialogResult result) {
    onWindowThread([&] { m_ended = result; });
}

namespace {

// Swallows the operator's input while it exists: a call that blocks the window's thread takes
// none, and none is kept to be delivered after it.
class InputDrop : public QObject {
public:
    InputDrop() { qApp->installEventFilter(this); }
    ~InputDrop() override { qApp->removeEventFilter(this); }
    InputDrop(const InputDrop&) = delete;
    InputDrop& operator=(const InputDrop&) = delete;

protected:
    bool eventFilter(QObject*, QEvent* event) override { return isOperatorInput(*event); }

private:
    static bool isOperatorInput(const QEvent& event) {
        switch (event.type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::NonClientAreaMouseButtonPress:
        case QEvent::NonClientAreaMouseButtonRelease:
        case QEvent::NonClientAreaMouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
        case QEvent::InputMethod:
            return true;
        default:
            return false;
        }
    }
};

} // namespace

void QtDialogView::runBlocking(const std::function<void()>& call) {
    if (QThread::currentThread() != m_window.thread()) {
        call();
        return;
    }
    QEventLoop loop;
    std::exception_ptr failure;
    m_blocking = true;
    {
        // The loop keeps the windows painting; the operator's input is taken and dropped, not
        // held back to reach buttons enabled again after the call.
        const InputDrop drop;
        std::thread worker([&] {
            try {
                call();
            } catch (...) {
                failure = std::current_exception();
            }
            QMetaObject::invokeMethod(
                &loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
        });
        loop.exec();
        worker.join();
        // Input the window system produced before the call returned may still be on its way
        // or queued: collect it, and drop it too.
        QGuiApplication::sync();
    }
    m_blocking = false;
    if (failure) {
        std::rethrow_exception(failure);
    }
}

} // namespace vorngui::qt
