#include "artwork.h"

#include <QPainter>
#include <QPainterPath>

#include <QImage>

#include <functional>
#include <vector>

namespace sorvane::ui::artwork {

namespace {

QPixmap canvas(int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    return pm;
}

// A bust in blue-grey on a 16 x 16 grid, leaving the lower right free for a badge.
void drawPerson(QPainter& p) {
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(40, 60, 90), 0.8));
    p.setBrush(QColor(90, 130, 190));
    p.drawEllipse(QRectF(3, 1, 6, 6));
    QPainterPath body;
    body.moveTo(0.5, 15.5);
    body.cubicTo(0.5, 9, 11.5, 9, 11.5, 15.5);
    body.closeSubpath();
    p.drawPath(body);
}

QPixmap personWith(const std::function<void(QPainter&)>& badge) {
    QPixmap pm = canvas(16);
    QPainter p(&pm);
    drawPerson(p);
    badge(p);
    return pm;
}

void drawPlus(QPainter& p, QPointF c, qreal r, QColor color) {
    p.setPen(QPen(color.darker(140), 1));
    p.setBrush(color);
    QPainterPath plus;
    plus.addRect(QRectF(c.x() - r / 3, c.y() - r, 2 * r / 3, 2 * r));
    plus.addRect(QRectF(c.x() - r, c.y() - r / 3, 2 * r, 2 * r / 3));
    p.drawPath(plus.simplified());
}

} // namespace

QPixmap personAdd() {
    return personWith([](QPainter& p) { drawPlus(p, {12, 11.5}, 4, QColor(40, 170, 60)); });
}

QPixmap personArrow() {
    return personWith([](QPainter& p) {
        p.setPen(QPen(QColor(160, 80, 0), 1));
        p.setBrush(QColor(255, 140, 0));
        const QPointF arrow[] = {{8, 9.5}, {12, 9.5},  {12, 7},  {16, 11.5},
                                 {12, 16}, {12, 13.5}, {8, 13.5}};
        p.drawPolygon(arrow, 7);
    });
}

QPixmap personCross() {
    return personWith([](QPainter& p) {
        p.setPen(QPen(QColor(210, 30, 30), 2.4, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(9, 8.5), QPointF(15, 14.5));
        p.drawLine(QPointF(15, 8.5), QPointF(9, 14.5));
    });
}

QPixmap personPencil() {
    return personWith([](QPainter& p) {
        p.setPen(QPen(QColor(120, 90, 20), 0.8));
        p.setBrush(QColor(240, 200, 60));
        const QPointF pencil[] = {{15, 7}, {16, 8}, {10, 14}, {8, 15}, {9, 13}};
        p.drawPolygon(pencil, 5);
    });
}

QPixmap searchAdd() {
    QPixmap pm = canvas(16);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    drawPlus(p, {8, 8}, 6, QColor(40, 170, 60));
    return pm;
}

namespace {

QPixmap lock(bool closed) {
    QPixmap pm = canvas(16);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor body = closed ? QColor(220, 170, 40) : QColor(160, 160, 160);
    // The shackle: closed into the body, or swung up and open on the right.
    p.setPen(QPen(body.darker(170), 1.8));
    p.setBrush(Qt::NoBrush);
    QPainterPath shackle;
    shackle.moveTo(4.5, 8);
    shackle.lineTo(4.5, 5);
    shackle.arcTo(QRectF(4.5, 1, 7, 8), 180, -180);
    shackle.lineTo(11.5, closed ? 8 : 5.5);
    p.drawPath(shackle);
    p.setPen(QPen(body.darker(170), 0.8));
    p.setBrush(body);
    p.drawRoundedRect(QRectF(2.5, 7.5, 11, 8), 1.5, 1.5);
    p.setBrush(body.darker(200));
    p.drawEllipse(QPointF(8, 11.5), 1.2, 1.2);
    return pm;
}

} // namespace

QPixmap lockClosed() {
    return lock(true);
}

QPixmap lockOpen() {
    return lock(false);
}

namespace {

// The program icon in each of its sizes, on images rather than pixmaps so that any thread may
// draw it (the same pixels: a pixmap here is an image of this format).
std::vector<QImage> drawProgramIcon() {
    std::vector<QImage> pictures;
    for (int size : {16, 24, 32, 48, 64, 128}) {
        QImage pm(size, size, QImage::Format_ARGB32_Premultiplied);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(size / 32.0, size / 32.0);
        // back bubble, green
        p.setPen(QPen(QColor(20, 110, 50), 1.2));
        p.setBrush(QColor(60, 180, 90));
        QPainterPath back;
        back.addRoundedRect(QRectF(11, 3, 19, 14), 5, 5);
        back.moveTo(25, 16);
        back.lineTo(28, 21);
        back.lineTo(21, 16);
        p.drawPath(back.simplified());
        // front bubble, blue
        p.setPen(QPen(QColor(20, 60, 130), 1.2));
        p.setBrush(QColor(60, 120, 220));
        QPainterPath front;
        front.addRoundedRect(QRectF(2, 10, 21, 15), 5, 5);
        front.moveTo(7, 24);
        front.lineTo(4, 30);
        front.lineTo(12, 24);
        p.drawPath(front.simplified());
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        for (int i = 0; i < 3; ++i)
            p.drawEllipse(QPointF(7.5 + 5 * i, 17.5), 1.6, 1.6);
        p.end();
        pictures.push_back(std::move(pm));
    }
    return pictures;
}

// Drawn once: a caller on another thread meanwhile waits for the drawing under way.
const std::vector<QImage>& programIconPictures() {
    static const std::vector<QImage> pictures = drawProgramIcon();
    return pictures;
}

} // namespace

void drawProgramIconAhead() {
    programIconPictures();
}

QIcon programIcon() {
    // Made once: the application, the main window, its tray icon and every conversation window
    // show it, and drawing it took as long as building a small window.
    static const QIcon icon = [] {
        QIcon made;
        for (const QImage& picture : programIconPictures())
            made.addPixmap(QPixmap::fromImage(picture));
        return made;
    }();
    return icon;
}

} // namespace sorvane::ui::artwork
