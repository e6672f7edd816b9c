#pragma once

#include <QString>

namespace quorvane {

// The path shown in Text3 at start: the "Users" unit inside the site's unit of a two-label
// domain, on the host named like the domain, over LDAPS.
QString defaultLdapPath(const QString& domain, const QString& site);

// The same for the domain and site chosen when this copy was built.
QString defaultLdapPath();

} // namespace quorvane
