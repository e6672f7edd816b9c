#include "LdapDirectoryProvider.h"

#include "BindPlan.h"
#include "Failure.h"
#include "LdapConnection.h"
#include "LdapDescriptions.h"
#include "LdapPath.h"
#include "NegotiatedBind.h"
#include "ObjectRead.h"
#include "ServerLocator.h"
#include "SimpleBind.h"

#include <QRandomGenerator>

#include <algorithm>
#include <memory>
#include <mutex>

namespace quorvane {

namespace {

// The connection is handed to the opened object only once everything succeeded; until then the
// caller still has it to say where a failure happened.
std::unique_ptr<DirectoryObject> bindAndRead(LdapConnection& connection, const BindPlan& plan,
                                             const QString& password, bool readExpiry)
{
    CheckFacts& facts = connection.facts();
    connection.enter(CheckStep::Bind);
    std::optional<QString> boundAs;
    if (plan.negotiate && !connection.transport().implicitTls) {
        boundAs = timed(facts.bind, [&] { return negotiatedBind(connection, plan, password); });
    }
    if (!boundAs) {
        try {
            connection.secure();
            connection.enter(CheckStep::Bind);
            facts.mechanism = plan.anonymous ? QStringLiteral("anonymous") : QStringLiteral("simple");
            boundAs = timed(facts.bind, [&] { return simpleBindOnce(connection, plan, password); });
        } catch (const Failure& failure) {
            if (facts.whyNotKerberos.isEmpty()) {
                throw;
            }
            // Why a server that offers Kerberos got no Kerberos logon belongs to every failure after.
            const QString described = failure.description() + u' ' + facts.whyNotKerberos;
            throw failure.hasFacts() ? Failure(failure.facts(), described)
                                     : failureOf(connection.failureFacts(), described);
        }
    }
    connection.enter(CheckStep::Read);
    if (readExpiry && !plan.anonymous) {
        try {
            readPasswordExpiry(connection, *boundAs);
        } catch (const Failure&) {
            // A fact asked for besides the verdict: not knowing it fails nothing. A connection lost
            // here fails the object's read next.
        }
    }
    Entry entry;
    if (plan.readObject) {
        entry = timed(facts.read, [&] { return readObject(connection, *boundAs); });
    }
    return openedObject(std::move(connection), std::move(entry), plan.readObject);
}

ServerPlan locate(const LdapPath& where, const TransportPlan& transport, std::chrono::milliseconds connect,
                  Clock::time_point phaseEnd)
{
    return locateServers(
        where, transport,
        [&](const QString& name) { return lookupSrv(name, std::min(Clock::now() + connect, phaseEnd)); },
        [](quint32 highest) { return QRandomGenerator::global()->bounded(highest + 1); });
}

} // namespace

std::vector<QString> LdapDirectoryProvider::serversFor(const QString& path, qint32 flags)
{
    const LdapPath where = parseLdapPath(path);
    const ServerPlan plan =
        locate(where, planTransport(where, flags), m_limits.connect, Clock::now() + m_limits.connect * 3);
    std::vector<QString> servers;
    for (const Server& server : plan.servers) {
        servers.push_back(endpointText(server.host, server.ipv6, server.port));
    }
    if (servers.empty()) {
        FailureFacts facts;
        facts.step = CheckStep::Connect;
        throw Failure(facts,
                      QStringLiteral("No directory server of %1 was found: %2.")
                          .arg(plan.domain, plan.notes.join(QStringLiteral("; "))));
    }
    return servers;
}

QString LdapDirectoryProvider::pathOnServer(const QString& path, const QString& server)
{
    const LdapPath where = parseLdapPath(path);
    const QString scheme = where.scheme == LdapScheme::Ldaps ? QStringLiteral("LDAPS")
        : where.scheme == LdapScheme::GlobalCatalog          ? QStringLiteral("GC")
                                                             : QStringLiteral("LDAP");
    QString dn = where.dn;
    return QStringLiteral("%1://%2/%3").arg(scheme, server, dn.replace(u'/', QStringLiteral("\\/")));
}

void LdapDirectoryProvider::prepareProcess()
{
    // libldap must not read configuration on its own: an ldaprc in whatever directory the program
    // starts in would otherwise choose which certificate authorities are trusted. Set once, early in
    // main, before other threads read the environment; later calls change nothing.
    setenv("LDAPNOINIT", "1", 0);
}

LdapDirectoryProvider::LdapDirectoryProvider()
    : LdapDirectoryProvider(Limits {})
{}

LdapDirectoryProvider::LdapDirectoryProvider(Limits limits)
    : m_limits(limits)
{
    // Once, before libldap first reads its configuration: no ldaprc of the working directory.
    static std::once_flag setUp;
    std::call_once(setUp, prepareProcess);
}

std::unique_ptr<DirectoryObject> LdapDirectoryProvider::open(const QString& path, const QString& user,
                                                             const QString& password, qint32 flags)
{
    const std::pair<const QString*, const char*> texts[] = { { &path, "LDAP path" },
                                                             { &user, "user name" },
                                                             { &password, "password" } };
    for (const auto& [text, name] : texts) {
        // toUtf8() would silently turn half a surrogate pair into another character.
        if (!text->isValidUtf16()) {
            throw Failure(
                QStringLiteral("The %1 contains a broken character (half of a UTF-16 surrogate pair), "
                               "which cannot be sent to a directory. Type it again.")
                    .arg(QString::fromUtf8(name)));
        }
    }
    const LdapPath where = parseLdapPath(path);
    const TransportPlan transport = planTransport(where, flags);
    const BindPlan plan = planBind(user, !password.isEmpty(), flags, where);
    // Finding and reaching a domain's servers, DNS included, takes at most three connect limits; a
    // server as written, one.
    const Clock::time_point phaseEnd = Clock::now() + m_limits.connect * 3;
    const ServerPlan servers = locate(where, transport, m_limits.connect, phaseEnd);
    LdapConnection connection =
        LdapConnection::connectFirstReachable(where, transport, m_limits, servers, phaseEnd,
                                              plan.anonymous ? PasswordFate::None : PasswordFate::NotSent);
    try {
        return bindAndRead(connection, plan, password, m_readExpiry);
    } catch (const Failure& failure) {
        if (failure.hasFacts()) {
            throw;
        }
        // Words written where the failure happened still get the facts of where the check was.
        throw failureOf(connection.failureFacts(), failure.description());
    }
}

} // namespace quorvane
