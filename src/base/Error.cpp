#include "base/Error.h"

#include <cstring>

Error Error::posix(int errnum) {
    return Error{kPOSIXErrorDomain, errnum, QString::fromLocal8Bit(std::strerror(errnum))};
}

Error Error::make(const QString& domain, int code, const QString& description) {
    return Error{domain, code, description};
}

QString Error::toString() const {
    QString s = domain + QLatin1Char(' ') + QString::number(code);
    if (!description.isEmpty()) s += QStringLiteral(": ") + description;
    return s;
}
