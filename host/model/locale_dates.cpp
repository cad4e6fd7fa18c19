#include "host/model/locale_dates.h"

#include <QDateTime>
#include <QLocale>

namespace quill::host {

namespace {

QDateTime localDateTime(SystemTime time) {
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    return QDateTime::fromMSecsSinceEpoch(millis).toLocalTime();
}

// The locale's long date form made short: no weekday, the month's name abbreviated
// ("dddd, d. MMMM yyyy" becomes "d. MMM yyyy").
QString abbreviatedDateFormat(const QString& format) {
    QString out;
    bool quoted = false;
    auto separator = [](QChar c) { return c == QLatin1Char(',') || c.isSpace() || c == QChar(0x060C); };
    for (qsizetype i = 0; i < format.size();) {
        const QChar c = format[i];
        qsizetype run = 1;
        while (!quoted && c.isLetter() && i + run < format.size() && format[i + run] == c) ++run;
        if (c == QLatin1Char('\'')) {
            quoted = !quoted;
            out += c;
        } else if (!quoted && c == QLatin1Char('d') && run >= 3) {
            // The weekday goes with the separator after it, or before it at the end.
            qsizetype next = i + run;
            while (next < format.size() && separator(format[next])) ++next;
            if (next == i + run)
                while (!out.isEmpty() && separator(out.back())) out.chop(1);
            i = next;
            continue;
        } else if (!quoted && c == QLatin1Char('M') && run >= 4) {
            out += QStringLiteral("MMM");
        } else {
            out += format.mid(i, run);
        }
        i += run;
    }
    return out.simplified();
}

// A time format without its time zone: the unquoted 't' letters go, with brackets they leave
// empty ("H:mm:ss (t)").
QString withoutTimeZone(const QString& format) {
    QString out;
    bool quoted = false;
    for (QChar c : format) {
        if (c == QLatin1Char('\'')) quoted = !quoted;
        if (!quoted && c == QLatin1Char('t')) continue;
        out += c;
    }
    out.remove(QStringLiteral("()"));
    out.remove(QStringLiteral("[]"));
    return out.simplified();
}

// A time format cut to hours and minutes: the seconds (and anything finer) go with the
// separator before them. Most locales' short form has none; the C locale's has ("HH:mm:ss").
QString withoutSeconds(const QString& format) {
    QString out;
    bool quoted = false;
    for (QChar c : format) {
        if (c == QLatin1Char('\'')) quoted = !quoted;
        if (!quoted && (c == QLatin1Char('s') || c == QLatin1Char('z'))) {
            while (!out.isEmpty() && !out.back().isLetter() && !out.back().isSpace() && out.back() != QLatin1Char('\''))
                out.chop(1);
            continue;
        }
        out += c;
    }
    return out.simplified();
}

}  // namespace

QString abbreviatedDate(SystemTime time) {
    const QLocale locale;
    return locale.toString(localDateTime(time).date(), abbreviatedDateFormat(locale.dateFormat(QLocale::LongFormat)));
}

QString abbreviatedDateAndStandardTime(SystemTime time) {
    const QLocale locale;
    // The locale's long time form without its time zone: hours, minutes and seconds.
    const QString format = withoutTimeZone(locale.timeFormat(QLocale::LongFormat));
    return abbreviatedDate(time) + QStringLiteral(", ") + locale.toString(localDateTime(time).time(), format);
}

QString abbreviatedDateAndShortTime(SystemTime time) {
    const QLocale locale;
    const QString format = withoutSeconds(withoutTimeZone(locale.timeFormat(QLocale::ShortFormat)));
    return abbreviatedDate(time) + QStringLiteral(", ") + locale.toString(localDateTime(time).time(), format);
}

}  // namespace quill::host
