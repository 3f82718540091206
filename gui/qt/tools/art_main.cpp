// Draws the control utility's artwork: the main window's picture (a timing board beside a
// clock face, 488x439, indexed 8-bit) and the application icon (a clock face, 16 and 32 pixels).
// Usage: vorngui-art OUTPUT_DIR; the files it writes are kept in gui/qt/art.
#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>

#include <cstdio>

namespace {

const QColor kBackground(0x1d, 0x2b, 0x3a);
const QColor kBoard(0x1f, 0x6b, 0x3a);
const QColor kTrace(0xc8, 0xa0, 0x3c);
const QColor kChip(0x22, 0x22, 0x26);
const QColor kFace(0xf2, 0xee, 0xe2);
const QColor kHand(0x20, 0x20, 0x28);
const QColor kAccent(0xd8, 0x3a, 0x2e);

void drawClock(QPainter& painter, QPointF centre, qreal radius, bool ticks) {
    painter.setPen(QPen(kHand, radius / 12));
    painter.setBrush(kFace);
    painter.drawEllipse(centre, radius, radius);
    if (ticks) {
        for (int hour = 0; hour < 12; ++hour) {
            const qreal angle = hour * M_PI / 6;
            const QPointF direction(qSin(angle), -qCos(angle));
            const qreal inner = hour % 3 == 0 ? radius * 0.74 : radius * 0.84;
            painter.setPen(QPen(kHand, hour % 3 == 0 ? radius / 16 : radius / 30));
            painter.drawLine(centre + direction * inner, centre + direction * radius * 0.92);
        }
    }
    // Ten past ten, with the second hand in the accent colour.
    const auto hand = [&](qreal turns, qreal length, qreal width, const QColor& colour) {
        const qreal angle = turns * 2 * M_PI;
        painter.setPen(QPen(colour, width, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(centre, centre + QPointF(qSin(angle), -qCos(angle)) * length);
    };
    hand(10.17 / 12, radius * 0.5, radius / 10, kHand);
    hand(10.0 / 60, radius * 0.78, radius / 14, kHand);
    hand(40.0 / 60, radius * 0.85, qMax<qreal>(1, radius / 40), kAccent);
    painter.setBrush(kAccent);
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(centre, radius / 14, radius / 14);
}

void drawBoard(QPainter& painter, const QRectF& area) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(kBoard);
    painter.drawRoundedRect(area, 10, 10);
    // The edge connector along the bottom.
    painter.setBrush(kTrace);
    for (qreal x = area.left() + 24; x < area.right() - 24; x += 9) {
        painter.drawRect(QRectF(x, area.bottom() - 14, 5, 12));
    }
    // Traces from the chips down to the connector.
    painter.setPen(QPen(kTrace, 2));
    for (int i = 0; i < 14; ++i) {
        const qreal x = area.left() + 40 + i * 24;
        painter.drawLine(QPointF(x, area.top() + 110), QPointF(x, area.bottom() - 18));
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(kChip);
    painter.drawRect(QRectF(area.left() + 30, area.top() + 40, 120, 70));
    painter.drawRect(QRectF(area.left() + 180, area.top() + 50, 80, 50));
    painter.drawRect(QRectF(area.left() + 290, area.top() + 30, 60, 90));
}

QImage toIndexed(const QImage& image) {
    // The drawing's own colours first, then a 6x6x6 colour cube and a grey ramp, so that the
    // blends at the edges all find a close entry: 256 entries in all.
    QList<QRgb> palette;
    for (const QColor& colour : {kBackground, kBoard, kTrace, kChip, kFace, kHand, kAccent}) {
        palette.push_back(colour.rgb());
    }
    for (int i = 0; i < 216; ++i) {
        palette.push_back(qRgb(i / 36 * 51, i / 6 % 6 * 51, i % 6 * 51));
    }
    for (int grey = 0; palette.size() < 256; ++grey) {
        palette.push_back(qRgb(grey * 8 + 4, grey * 8 + 4, grey * 8 + 4));
    }
    return image.convertToFormat(QImage::Format_Indexed8, palette, Qt::ThresholdDither);
}

QImage picture() {
    QImage image(488, 439, QImage::Format_ARGB32);
    image.fill(kBackground);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    drawBoard(painter, QRectF(20, 220, 400, 200));
    drawClock(painter, QPointF(330, 140), 110, true);
    painter.end();
    return toIndexed(image);
}

QImage icon(int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    drawClock(painter, QPointF(size / 2.0, size / 2.0), size / 2.0 - 1, size >= 32);
    return image;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vorngui-art OUTPUT_DIR\n");
        return 2;
    }
    QGuiApplication application(argc, argv);
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const bool written = picture().save(dir + "/bitmap_141.png") &&
                         icon(16).save(dir + "/icon_128_16.png") &&
                         icon(32).save(dir + "/icon_128_32.png");
    if (!written) {
        std::fprintf(stderr, "vorngui-art: cannot write to %s\n", argv[1]);
        return 1;
    }
    return 0;
}
