#include "host/ui/view_support.h"

#include <QPainter>
#include <QPainterPath>
#include <QWidget>

namespace quill::host::ui {

QLabel* plainLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}

QString literalActionText(const QString& text) {
    QString out = text;
    out.replace(QLatin1Char('&'), QStringLiteral("&&"));
    // A tab would move the rest of the text into the shortcut column.
    out.replace(QLatin1Char('\t'), QLatin1Char(' '));
    return out;
}

QFont styledFont(TextStyle style, const QFont& base) {
    QFont font = base;
    const double size = base.pointSizeF() > 0 ? base.pointSizeF() : 10.0;
    switch (style) {
        case TextStyle::title: font.setPointSizeF(size * 2.0); break;
        case TextStyle::title2: font.setPointSizeF(size * 1.6); break;
        case TextStyle::headline:
            font.setPointSizeF(size * 1.1);
            font.setWeight(QFont::DemiBold);
            break;
        case TextStyle::body: break;
        case TextStyle::caption: font.setPointSizeF(size * 0.9); break;
    }
    return font;
}

void applyTextStyle(QWidget* widget, TextStyle style, bool semibold) {
    QFont font = styledFont(style, widget->font());
    if (semibold) font.setWeight(QFont::DemiBold);
    widget->setFont(font);
}

QColor secondaryColor() { return QColor(0x6e, 0x6e, 0x73); }
QColor errorColor() { return QColor(0xd7, 0x00, 0x15); }

void setTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

namespace {

void drawDisplay(QPainter& p, double s) {
    // A screen on a stand.
    p.drawRoundedRect(QRectF(s * 0.08, s * 0.14, s * 0.84, s * 0.56), s * 0.06, s * 0.06);
    p.drawLine(QPointF(s * 0.5, s * 0.70), QPointF(s * 0.5, s * 0.84));
    p.drawLine(QPointF(s * 0.30, s * 0.86), QPointF(s * 0.70, s * 0.86));
}

void drawPerson(QPainter& p, QPointF head, double r) {
    p.drawEllipse(head, r, r);
    QPainterPath body;
    body.moveTo(head.x() - r * 1.8, head.y() + r * 3.4);
    body.quadTo(head.x(), head.y() + r * 0.6, head.x() + r * 1.8, head.y() + r * 3.4);
    body.closeSubpath();
    p.drawPath(body);
}

// `widen` thickens every stroke, for the outline drawn below a symbol.
void drawSymbol(QPainter& p, const QString& name, double s, const QColor& color, double widen = 0) {
    QPen pen(color, std::max(1.0, s / 14.0) + widen);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    if (name == QLatin1String("display")) {
        drawDisplay(p, s);
    } else if (name == QLatin1String("rectangle.inset.filled.and.person.filled")) {
        drawDisplay(p, s);
        p.setBrush(color);
        p.drawRect(QRectF(s * 0.18, s * 0.24, s * 0.30, s * 0.36));
        drawPerson(p, QPointF(s * 0.70, s * 0.30), s * 0.07);
    } else if (name == QLatin1String("lock.shield")) {
        QPainterPath shield;
        shield.moveTo(s * 0.5, s * 0.06);
        shield.lineTo(s * 0.88, s * 0.20);
        shield.quadTo(s * 0.88, s * 0.74, s * 0.5, s * 0.94);
        shield.quadTo(s * 0.12, s * 0.74, s * 0.12, s * 0.20);
        shield.closeSubpath();
        p.drawPath(shield);
        p.setBrush(color);
        p.drawRect(QRectF(s * 0.36, s * 0.46, s * 0.28, s * 0.22));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(s * 0.40, s * 0.30, s * 0.20, s * 0.30), 0, 180 * 16);
    } else if (name == QLatin1String("checkmark.circle.fill") ||
               name == QLatin1String("exclamationmark.circle.fill")) {
        p.setBrush(color);
        p.drawEllipse(QRectF(s * 0.06, s * 0.06, s * 0.88, s * 0.88));
        QPen mark(Qt::white, std::max(1.5, s / 9.0));
        mark.setCapStyle(Qt::RoundCap);
        mark.setJoinStyle(Qt::RoundJoin);
        p.setPen(mark);
        if (name.startsWith(QLatin1String("checkmark"))) {
            const QPointF points[] = {{s * 0.30, s * 0.52}, {s * 0.44, s * 0.66}, {s * 0.70, s * 0.36}};
            p.drawPolyline(points, 3);
        } else {
            p.drawLine(QPointF(s * 0.5, s * 0.26), QPointF(s * 0.5, s * 0.56));
            p.drawPoint(QPointF(s * 0.5, s * 0.72));
        }
    } else if (name == QLatin1String("arrow.clockwise")) {
        const QRectF ring(s * 0.18, s * 0.18, s * 0.64, s * 0.64);
        p.drawArc(ring, 100 * 16, 300 * 16);
        p.setBrush(color);
        const QPointF tip[] = {{s * 0.50, s * 0.08}, {s * 0.66, s * 0.18}, {s * 0.50, s * 0.28}};
        p.drawPolygon(tip, 3);
    } else if (name == QLatin1String("folder")) {
        QPainterPath folder;
        folder.moveTo(s * 0.08, s * 0.22);
        folder.lineTo(s * 0.38, s * 0.22);
        folder.lineTo(s * 0.46, s * 0.32);
        folder.lineTo(s * 0.92, s * 0.32);
        folder.lineTo(s * 0.92, s * 0.80);
        folder.lineTo(s * 0.08, s * 0.80);
        folder.closeSubpath();
        p.drawPath(folder);
    } else if (name == QLatin1String("person.crop.circle.badge.questionmark")) {
        p.drawEllipse(QRectF(s * 0.06, s * 0.10, s * 0.70, s * 0.70));
        p.setBrush(color);
        drawPerson(p, QPointF(s * 0.41, s * 0.34), s * 0.09);
        p.setBrush(Qt::NoBrush);
        QFont font;
        font.setPixelSize(static_cast<int>(s * 0.36));
        font.setBold(true);
        p.setFont(font);
        p.drawText(QRectF(s * 0.62, s * 0.56, s * 0.38, s * 0.44), Qt::AlignCenter, QStringLiteral("?"));
    }
}

}  // namespace

QPixmap symbolPixmap(const QString& name, int size, const QColor& color) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    drawSymbol(painter, name, size, color);
    return pixmap;
}

QIcon symbolIcon(const QString& name, const QColor& color) {
    QIcon icon;
    for (int size : {16, 22, 32, 48, 64}) icon.addPixmap(symbolPixmap(name, size, color));
    return icon;
}

QIcon outlinedSymbolIcon(const QString& name) {
    QIcon icon;
    for (int size : {16, 22, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        // A light outline under dark strokes: one of the two stands out on any panel.
        drawSymbol(painter, name, size, QColor(0xf4, 0xf4, 0xf4), std::max(2.0, size / 11.0));
        drawSymbol(painter, name, size, QColor(0x20, 0x20, 0x20));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QLabel* symbolLabel(const QString& name, int size, const QColor& color, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setPixmap(symbolPixmap(name, size, color));
    label->setFixedSize(size, size);
    label->setProperty("symbol", name);
    return label;
}

}  // namespace quill::host::ui
