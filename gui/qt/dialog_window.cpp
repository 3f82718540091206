// Building a dialog's window and routing clicks, Enter, Escape and the close box to it.
#include "dialog_window.h"

#include "template_loader.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMenuBar>
#include <QPushButton>

namespace vorngui::qt {

DialogWindow::DialogWindow(Dialog& dialog, QWidget* parent)
    : m_dialog(dialog), m_error(), m_window(loadTemplate(dialog.templateId(), parent, &m_error)) {
    if (!m_window) {
        return;
    }
    m_view = std::make_unique<QtDialogView>(*m_window);
    connectButtons();
    m_window->installEventFilter(this);
}

DialogWindow::~DialogWindow() {
    if (qApp) {
        qApp->removeEventFilter(this);
    }
}

void DialogWindow::connectButtons() {
    const QList<QAbstractButton*> buttons = m_window->findChildren<QAbstractButton*>();
    for (QAbstractButton* button : buttons) {
        const int id = controlIdOf(*button);
        if (id < 0 || qobject_cast<QCheckBox*>(button)) {
            continue;
        }
        // Enter is the dialog's to handle, whichever control has the focus.
        if (auto* push = qobject_cast<QPushButton*>(button)) {
            push->setAutoDefault(false);
            push->setDefault(false);
        }
        connect(button, &QAbstractButton::clicked, this, [this, id] {
            deliver([this, id](DialogView& view) { m_dialog.onCommand(view, id); });
        });
    }
}

bool DialogWindow::initialize() {
    m_dialog.onInitDialog(*m_view);
    return m_view->ended().has_value();
}

DialogResult DialogWindow::exec() {
    // Keys are taken at the application, before the focused control or the dialog's own
    // default-button handling sees them.
    qApp->installEventFilter(this);
    m_window->exec();
    qApp->removeEventFilter(this);
    return m_view->ended().value_or(DialogResult::Cancel);
}

void DialogWindow::deliver(const std::function<void(DialogView&)>& handler) {
    if (m_view->blocking() || m_closing) {
        return;
    }
    handler(*m_view);
    if (const auto ended = m_view->ended(); ended && m_window->isVisible()) {
        m_closing = true;
        m_window->done(static_cast<int>(*ended));
    }
}

bool DialogWindow::routeKey(QObject* watched, QEvent* event) {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || widget->window() != m_window.get()) {
        return false;
    }
    // While the menu bar runs its menu loop (a title highlighted, from Alt or after Escape
    // closed its menu), the keys are the menu bar's, as on Windows: Escape leaves the loop and
    // Return opens the highlighted menu; neither reaches the dialog.
    if (auto* bar = qobject_cast<QMenuBar*>(widget); bar && bar->activeAction()) {
        return false;
    }
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        event->accept();
        deliver([this](DialogView& view) { m_dialog.onEnterKey(view); });
        return true;
    }
    if (key == Qt::Key_Escape) {
        event->accept();
        deliver([this](DialogView& view) { m_dialog.onEscapeKey(view); });
        return true;
    }
    return false;
}

bool DialogWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        return routeKey(watched, event);
    }
    if (watched == m_window.get() && event->type() == QEvent::Close && !m_closing) {
        // The close box asks the dialog; the window closes only when the dialog ends.
        event->ignore();
        deliver([this](DialogView& view) { m_dialog.onCloseBox(view); });
        return true;
    }
    return false;
}

} // namespace vorngui::qt
