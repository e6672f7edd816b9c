#pragma once

#include "TlsDiagnosis.h"

#include <QString>

namespace quorvane {

// The trusted certificate authorities administrators configured for OpenLDAP's client:
// LDAPTLS_CACERT / LDAPTLS_CACERTDIR, else TLS_CACERT / TLS_CACERTDIR in the system ldap.conf (or the
// file LDAPCONF names), else the system bundle. `origin` says which, for descriptions.
TrustSources configuredTrust(const QString& systemLdapConf = QStringLiteral("/etc/ldap/ldap.conf"));

// TLS_CACERT / TLS_CACERTDIR from the text of an ldap.conf.
void readLdapConf(const QString& text, TrustSources& trust);

} // namespace quorvane
