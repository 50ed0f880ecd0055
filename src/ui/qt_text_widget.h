#pragma once

#include <QFont>
#include <QString>
#include <string>

#include "common/gbk_text.h"

// Conversions at the window edge: data text is GBK, Qt wants QString.
namespace z39 {

inline QString Q(const std::string& gbk) { return QString::fromStdString(GbkToUtf8(gbk)); }
inline std::string Gb(const QString& text) { return Utf8ToGbk(text.toStdString()); }

// The list typeface: Chinese glyphs twice the Latin width, 12-pixel height.
inline QFont ListFont() {
    QFont font(QStringLiteral("WenQuanYi Zen Hei Mono"));
    font.setPixelSize(12);
    font.setStyleHint(QFont::TypeWriter);
    return font;
}

inline constexpr int kPixelsPerByte = 6;

// A new widget at its place in its parent, as the window's layout gives it.
template <class Widget>
Widget* Placed(Widget* widget, int x, int y, int width, int height) {
    widget->setGeometry(x, y, width, height);
    return widget;
}

}  // namespace z39
