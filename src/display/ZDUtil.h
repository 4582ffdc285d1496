#pragma once

#include <QString>

class SystemInfo;

// Version helpers shared by the session, the display side and the shell.
class ZDUtil {
public:
    // The running system's version text (on Linux the distribution's version, "12" for Debian 12).
    static QString getMacOSVersionString(const SystemInfo& systemInfo);

    // Compares dotted versions numerically, part by part, so "1.0.10" is greater than "1.0.9"; a
    // missing part counts as 0 ("1.0" equals "1.0.0"). Each part is read by its leading digits, any
    // text after them breaking ties. Returns a negative number, 0 or a positive number.
    static int compareVersion(const QString& a, const QString& b);
};
