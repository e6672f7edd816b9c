#include "ObjectRead.h"

#include "DescriptionText.h"
#include "Failure.h"
#include "LdapDescriptions.h"

#include <QTimeZone>

#include <limits>

namespace quorvane {

namespace {

bool isContainerClass(const QString& objectClass)
{
    static const QStringList containers = {
        QStringLiteral("organizationalunit"), QStringLiteral("organization"),
        QStringLiteral("container"),          QStringLiteral("domain"),
        QStringLiteral("domaindns"),          QStringLiteral("dcobject"),
        QStringLiteral("builtindomain"),      QStringLiteral("country"),
        QStringLiteral("locality"),           QStringLiteral("lostandfound"),
        QStringLiteral("configuration"),      QStringLiteral("dmd"),
        QStringLiteral("rpccontainer"),
    };
    return containers.contains(objectClass.toLower());
}

class LdapObject final : public DirectoryObject
{
public:
    LdapObject(LdapConnection connection, Entry entry, bool read)
        : m_connection(std::move(connection))
        , m_entry(std::move(entry))
        , m_read(read)
    {}

    CheckFacts facts() const override { return m_connection.reportedFacts(); }

    void requireContainer() const override
    {
        if (!m_read || m_entry.hasSubordinates) {
            return; // a fast bind reads nothing, so there is nothing to refuse
        }
        for (const QString& objectClass : m_entry.objectClasses) {
            if (isContainerClass(objectClass)) {
                return;
            }
        }
        throw failureOf(
            m_connection.failureFacts(),
            QStringLiteral("The object \"%1\" on %2 is not a container: its object classes are %3.")
                .arg(quoteForDescription(m_entry.dn, 300), m_connection.where(),
                     m_entry.objectClasses.isEmpty() ? QStringLiteral("not readable")
                                                     : quotedList(m_entry.objectClasses, 12, 64)));
    }

private:
    LdapConnection m_connection; // bound until this object goes
    Entry m_entry;
    bool m_read;
};

} // namespace

Entry readObject(LdapConnection& connection, const QString& boundAs)
{
    const QString dn =
        connection.path().dn.isEmpty() ? connection.defaultNamingContext() : connection.path().dn;
    const SearchResult result =
        connection.search(dn, LDAP_SCOPE_BASE, QStringLiteral("(objectClass=*)"),
                          { "objectClass", "hasSubordinates" }, 1, QStringLiteral("read of the object"));
    if (result.outcome.code != LDAP_SUCCESS) {
        FailureFacts facts = connection.failureFacts();
        facts.resultCode = result.outcome.code;
        facts.serverText = result.outcome.diagnostic;
        throw failureOf(facts,
                        describeObjectFailure(connection.where(), dn, boundAs, result.outcome.code,
                                              result.outcome.diagnostic, result.outcome.matchedDn,
                                              result.outcome.referrals));
    }
    if (result.count == 0) {
        throw failureOf(
            connection.failureFacts(),
            QStringLiteral("The logon succeeded, but the directory server %1 returned nothing for the "
                           "object \"%2\": it does not exist, or %3 may not see it.")
                .arg(connection.where(), quoteForDescription(dn, 300), bindIdentity(boundAs)));
    }
    Entry entry;
    entry.dn = result.firstDn;
    entry.objectClasses = result.firstValues.value(QByteArrayLiteral("objectClass"));
    const QStringList subordinates = result.firstValues.value(QByteArrayLiteral("hasSubordinates"));
    entry.hasSubordinates =
        !subordinates.isEmpty() && subordinates.first().compare(u"TRUE", Qt::CaseInsensitive) == 0;
    return entry;
}

void readPasswordExpiry(LdapConnection& connection, const QString& boundAs)
{
    if (!connection.rootEntry().activeDirectory || boundAs.isEmpty()) {
        return; // other directories say it in the bind's password-policy answer, if at all
    }
    // Active Directory computes the expiry for a base read of the account only: find it first.
    QString dn = boundAs.contains(u'=') ? boundAs : QString();
    if (dn.isEmpty()) {
        const QString user = boundAs.section(u'\\', -1);
        const QString escaped[] = { filterValue(user), filterValue(user.section(u'@', 0, 0)) };
        const QString filter = user.contains(u'@')
            ? QStringLiteral("(|(userPrincipalName=%1)(sAMAccountName=%2))").arg(escaped[0], escaped[1])
            : QStringLiteral("(sAMAccountName=%1)").arg(escaped[0]);
        const SearchResult found =
            connection.search(connection.defaultNamingContext(), LDAP_SCOPE_SUBTREE, filter, { "1.1" }, 2,
                              QStringLiteral("search for the account's entry"));
        if (found.count != 1 || found.outcome.code != LDAP_SUCCESS) {
            return;
        }
        dn = found.firstDn;
    }
    const SearchResult entry = connection.search(dn, LDAP_SCOPE_BASE, QStringLiteral("(objectClass=*)"),
                                                 { "msDS-UserPasswordExpiryTimeComputed" }, 1,
                                                 QStringLiteral("read of the account's entry"));
    bool number = false;
    const qint64 filetime = entry.firstValues.value(QByteArrayLiteral("msDS-UserPasswordExpiryTimeComputed"))
                                .value(0)
                                .toLongLong(&number);
    if (!number || filetime < 0) {
        return;
    }
    if (filetime == std::numeric_limits<qint64>::max()) {
        connection.facts().passwordNeverExpires = true;
        return;
    }
    // FILETIME: 100 ns steps since 1601; 0 means the password must be changed now.
    constexpr qint64 unixEpoch = 116444736000000000LL;
    connection.facts().passwordExpires = filetime == 0
        ? QDateTime::currentDateTimeUtc()
        : QDateTime::fromMSecsSinceEpoch((filetime - unixEpoch) / 10000, QTimeZone::utc());
}

std::unique_ptr<DirectoryObject> openedObject(LdapConnection connection, Entry entry, bool read)
{
    return std::make_unique<LdapObject>(std::move(connection), std::move(entry), read);
}

} // namespace quorvane
