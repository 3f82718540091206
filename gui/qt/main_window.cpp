// The main window's menu bar, picture, icon and About entry.
#include "main_window.h"

#include "art.h"
#include "main_dialog.h"
#include "resource_ids.h"

#include <QAction>
#include <QFontMetrics>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QVBoxLayout>

namespace vorngui::qt {
namespace {

// The client area: the picture, unscaled at the top-left, on its own background colour (that
// of its corner) where the area is larger than the picture; while the window is minimised, the
// icon centred instead, where the window system still paints one.
class PictureArea : public QWidget {
public:
    explicit PictureArea(QWidget* parent) : PictureArea(parent, mainPicture()) {}

private:
    PictureArea(QWidget* parent, const QImage& picture)
        : QWidget(parent), m_picture(QPixmap::fromImage(picture)),
          m_background(picture.isNull() ? QColor(Qt::black) : picture.pixelColor(0, 0)) {
        setObjectName(QStringLiteral("pictureArea"));
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        if (window()->isMinimized()) {
            const QSize icon(32, 32);
            painter.fillRect(rect(), palette().window());
            painter.drawPixmap((width() - icon.width() + 1) / 2, (height() - icon.height() + 1) / 2,
                               window()->windowIcon().pixmap(icon));
            return;
        }
        painter.fillRect(rect(), m_background);
        painter.drawPixmap(0, 0, m_picture);
    }

private:
    QPixmap m_picture;
    QColor m_background;
};

QMenuBar* buildMenuBar(QWidget& owner, const std::function<void(int)>& onMenu) {
    auto* bar = new QMenuBar(&owner);
    bar->setObjectName(QStringLiteral("menuBar"));
    for (const MenuPopup& popup : MainDialog::menuBar()) {
        QMenu* menu = bar->addMenu(QString::fromUtf8(popup.title));
        for (const MenuItem& item : popup.items) {
            QAction* action = menu->addAction(QString::fromUtf8(item.text));
            const int command = item.command;
            action->setData(command);
            QObject::connect(action, &QAction::triggered, &owner,
                             [onMenu, command] { onMenu(command); });
        }
    }
    return bar;
}

} // namespace

QSize dialogUnitsToPixels(const QFont& font, int x, int y) {
    const QFontMetrics metrics(font);
    return {x * metrics.averageCharWidth() / 4, y * metrics.height() / 8};
}

void furnishMainWindow(QDialog& window, const std::function<void(int)>& onMenu,
                       const std::function<void()>& onSystemAbout) {
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    QMenuBar* bar = buildMenuBar(window, onMenu);
    layout->setMenuBar(bar);

    // The window system here does not wrap a menu bar onto a second line as Windows
    // does: the client area widens where the menus need it, so that no menu hides behind an
    // overflow button.
    auto* picture = new PictureArea(&window);
    QSize area = dialogUnitsToPixels(window.font(), kMainWidthUnits, kMainHeightUnits);
    area.setWidth(std::max(area.width(), bar->sizeHint().width()));
    picture->setFixedSize(area);
    layout->addWidget(picture);

    auto* about = new QAction(QString::fromUtf8(resources::kAboutMenuText), picture);
    about->setObjectName(QStringLiteral("systemAboutAction"));
    about->setData(commands::kSystemAbout);
    QObject::connect(about, &QAction::triggered, &window, [onSystemAbout] { onSystemAbout(); });
    picture->addAction(about);
    picture->setContextMenuPolicy(Qt::ActionsContextMenu);

    window.setWindowIcon(applicationIcon());
    window.setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
}

} // namespace vorngui::qt
