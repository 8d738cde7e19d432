// Titles of the program. The window caption is the long title, the application title (task bar,
// tray tip) the short one; a non-empty AppTitle setting is appended to both with " - ".
#pragma once

#include <QString>

inline const QString ShortTitle = QStringLiteral("Trabix V1.2");
inline const QString LongTitle = QStringLiteral("Trabix - Ostrelay V1.2");

// Appends " - " + extra to a title when extra is not empty.
inline QString TitleWithExtra(const QString& title, const QString& extra)
{
    return extra.isEmpty() ? title : title + QStringLiteral(" - ") + extra;
}
