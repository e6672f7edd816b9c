#include "LdapDirectoryProvider.h"

#include "AnswerSniffer.h"
#include "BindPlan.h"
#include "Failure.h"
#include "LdapPath.h"
#include "LdapSession.h"
#include "NegotiatedBind.h"
#include "ObjectRead.h"
#include "ServerLocator.h"
#include "SimpleBind.h"
#include "TrustSettings.h"

#include <QRandomGenerator>

#include <algorithm>
#include <memory>
#include <mutex>

namespace quorvane {

void LdapDirectoryProvider::prepareProcess()
{
    keepLibldapConfigurationOut();
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
    Target target;
    target.path = parseLdapPath(path);
    target.transport = planTransport(target.path, flags);
    target.limits = m_limits;
    const BindPlan plan = planBind(user, !password.isEmpty(), flags, target.path);

    auto sniffer = std::make_unique<AnswerSniffer>();
    target.sniffer = sniffer.get();
    // Finding and reaching a domain's servers, DNS included, takes at most three connect limits; a
    // server as written, one.
    const Clock::time_point phaseEnd = Clock::now() + target.limits.connect * 3;
    const ServerPlan servers = locateServers(
        target.path, target.transport, flags,
        [&](const QString& name) {
            return lookupSrv(name, std::min(Clock::now() + target.limits.connect, phaseEnd));
        },
        [](quint32 highest) { return QRandomGenerator::global()->bounded(highest + 1); });
    LdapHandle ld = adoptConnection(target, connectFirstReachable(target, servers, phaseEnd));
    QString boundAs;
    if (mayNegotiate(plan, target.transport, flags)
        && !negotiationMechanism(rootEntry(ld.get(), target)).isEmpty()) {
        boundAs = negotiatedBind(ld.get(), target, plan, user, password, flags);
    } else {
        secureConnection(ld, target, !plan.anonymous);
        boundAs = simpleBindOnce(ld.get(), target, plan, password);
    }
    Entry entry;
    if (plan.readObject) {
        entry = readObject(ld.get(), target, boundAs);
    }
    return openedObject(std::move(sniffer), std::move(ld), target.where, std::move(entry), plan.readObject);
}

} // namespace quorvane
