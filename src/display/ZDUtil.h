#pragma once

#include <QString>
#include <cstdint>

class SystemInfo;

// Version helpers shared by the session, the display side and the shell, the shell-command runner and
// the processor test. No state.
class ZDUtil {
public:
    // The running system's version text (on Linux the distribution's version, "12" for Debian 12).
    static QString getMacOSVersionString(const SystemInfo& systemInfo);

    // Compares dotted versions numerically, part by part, so "1.0.10" is greater than "1.0.9"; a
    // missing part counts as 0 ("1.0" equals "1.0.0"). Each part is read by its leading digits, any
    // text after them breaking ties. Returns a negative number, 0 or a positive number.
    static int compareVersion(const QString& a, const QString& b);

    // Splits "major.minor.patch" at its first two dots; each part counts by its leading digits, a
    // missing or empty part is 0 ("10.15" gives 10, 15, 0; "3.4.5.6" gives 3, 4, 5).
    static void parseVersionString(const QString& version, int32_t* major, int32_t* minor, int32_t* patch);
    static void getMacOSVersionCode(const SystemInfo& systemInfo, int32_t* major, int32_t* minor,
                                    int32_t* patch);
    // Whether the running system's version is at least / above `version`, compared as compareVersion
    // does. On this backend that is the system's own version: behaviour that depends on what the
    // platform can do is asked of SystemInfo instead.
    static bool isMacOSVersionAboveOrEqualTo(const QString& version, const SystemInfo& systemInfo);
    static bool isMacOSVersionAboveTo(const QString& version, const SystemInfo& systemInfo);

    // Runs `command` with "/bin/sh -c" and returns what it wrote to its standard output, as UTF-8, once
    // the shell has ended. Its standard input is empty and its errors go to ours. A null string when
    // the shell cannot be started.
    static QString runCommand(const QString& command);

    // Whether the machine has an ARM processor, or runs this process translated on another one.
    static bool isM1Mac(const SystemInfo& systemInfo);
    static bool isProcessTranslated(const SystemInfo& systemInfo);
};
