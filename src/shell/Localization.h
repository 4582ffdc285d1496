#pragma once

#include <QString>

// The text shown for a localisation key ("AskScreenRecordingTitle", "Quit"...); the key itself when
// the table has no text for it, so a missing entry shows up as its key instead of an empty label.
QString localizedString(const QString& key);
