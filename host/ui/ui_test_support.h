#pragma once

// Widget tests: one QApplication for the whole run, and helpers that find what the user sees.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMenu>

#include "host/model/host_model_test_support.h"

namespace quill::host::ui::testing {

using quill::host::testing::pumpFor;
using quill::host::testing::pumpUntil;

// Sets the platform before the application exists: "offscreen" or "xcb".
inline void startApplication(const char* platform) {
    if (QApplication::instance()) return;
    qputenv("QT_QPA_PLATFORM", platform);
    static int argc = 1;
    static char name[] = "quill_host_ui_test";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
}

// The entries the user sees, top to bottom ("-" for a separator; "&&" read as "&").
inline QStringList visibleEntries(const QMenu* menu) {
    QStringList out;
    for (QAction* a : menu->actions())
        if (a->isVisible()) out << (a->isSeparator() ? QStringLiteral("-") : a->text().replace("&&", "&"));
    return out;
}

inline QAction* findAction(const QMenu* menu, const QString& text) {
    for (QAction* a : menu->actions())
        if (a->text().replace("&&", "&") == text) return a;
    return nullptr;
}

template <class W = QAbstractButton>
W* findByText(QWidget* root, const QString& text) {
    for (W* w : root->findChildren<W*>())
        if (w->text() == text) return w;
    return nullptr;
}

// Shown, as far as the widget's window goes (the window itself may be hidden).
inline bool shownIn(QWidget* w, QWidget* root) { return w && w->isVisibleTo(root); }

}  // namespace quill::host::ui::testing
