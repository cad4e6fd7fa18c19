#pragma once

// Small pieces the menu and the windows share: plain-text labels, menu texts, fonts, colours,
// dates and the monochrome symbols the windows draw.

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QString>
#include <chrono>

#include "host/model/locale_dates.h"
#include "quillcore/base/clock.h"

class QWidget;

namespace quill::host::ui {

// A label for text that may come from data (names, addresses, messages): never read as markup.
QLabel* plainLabel(const QString& text = {}, QWidget* parent = nullptr);

// A menu or action text that shows `text` literally: '&' would otherwise mark a mnemonic, and a
// tab start the shortcut column.
QString literalActionText(const QString& text);

// Fonts of the named text styles.
enum class TextStyle { title, title2, headline, body, caption };
QFont styledFont(TextStyle style, const QFont& base = QFont());
void applyTextStyle(QWidget* widget, TextStyle style, bool semibold = false);

// Secondary text, red error text: set on the label's palette so the colour is what it shows.
QColor secondaryColor();
QColor errorColor();
void setTextColor(QWidget* widget, const QColor& color);

// The monochrome symbols the interface uses, by their names ("display", "lock.shield",
// "checkmark.circle.fill", ...), drawn at `size` in `color`. Unknown names draw nothing.
QPixmap symbolPixmap(const QString& name, int size, const QColor& color);
QIcon symbolIcon(const QString& name, const QColor& color = QColor(Qt::black));
// The symbol in dark strokes with a light outline, for panels of any colour (the tray icon).
QIcon outlinedSymbolIcon(const QString& name);
// A label showing a symbol; its "symbol" property holds the name.
QLabel* symbolLabel(const QString& name, int size, const QColor& color, QWidget* parent = nullptr);

// Dates in the user's locale (shared with the model's texts).
using quill::host::abbreviatedDate;
using quill::host::abbreviatedDateAndStandardTime;

}  // namespace quill::host::ui
