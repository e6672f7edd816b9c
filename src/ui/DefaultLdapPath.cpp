#include "DefaultLdapPath.h"

#include "BuildDefaults.h"

#include <QStringList>

namespace quorvane {

QString defaultLdapPath(const QString& domain, const QString& site)
{
    // CMake admits only two-label domains; value() keeps any other input in bounds.
    const QStringList labels = domain.split(u'.');
    QString path = QStringLiteral("LDAP://");
    path += domain;
    path += QStringLiteral(":636/OU=Users,OU=");
    path += site;
    path += QStringLiteral(",DC=");
    path += labels.value(0);
    path += QStringLiteral(",DC=");
    path += labels.value(1);
    return path;
}

QString defaultLdapPath()
{
    return defaultLdapPath(QString::fromUtf16(build::domain), QString::fromUtf16(build::site));
}

} // namespace quorvane
