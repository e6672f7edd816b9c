#include "CheckRun.h"

#include "FieldSource.h"
#include "FlagsConversion.h"
#include "LdapDirectoryProvider.h"
#include "LogonCheck.h"
#include "MessageBox.h"

#include <QElapsedTimer>

#include <memory>

namespace quorvane {

namespace {

struct VerdictBox : MessageBox
{
    QString& verdict;
    explicit VerdictBox(QString& text)
        : verdict(text)
    {}
    void show(const QString& text) override { verdict = text; }
};

// What the provider and the object did, seen from outside ValidateUser.
struct Observed
{
    bool reachedProvider = false; // the flags converted
    bool containerPassed = false;
    bool failedWithoutFacts = false; // refused before any server was contacted
    std::optional<CheckFacts> facts;
    std::optional<FailureFacts> failure;

    void failed(const Failure& thrown)
    {
        if (thrown.hasFacts()) {
            failure = thrown.facts();
        } else {
            failedWithoutFacts = true;
        }
    }
};

class ObservedObject : public DirectoryObject
{
public:
    ObservedObject(std::unique_ptr<DirectoryObject> object, Observed& observed)
        : m_object(std::move(object))
        , m_observed(observed)
    {}
    void requireContainer() const override
    {
        try {
            m_object->requireContainer();
        } catch (const Failure& failure) {
            m_observed.failed(failure);
            throw;
        }
        m_observed.containerPassed = true;
    }
    CheckFacts facts() const override { return m_object->facts(); }

private:
    std::unique_ptr<DirectoryObject> m_object;
    Observed& m_observed;
};

class ObservedDirectory : public DirectoryProvider
{
public:
    ObservedDirectory(DirectoryProvider& directory, Observed& observed)
        : m_directory(directory)
        , m_observed(observed)
    {}
    std::unique_ptr<DirectoryObject> open(const QString& path, const QString& user, const QString& password,
                                          qint32 flags) override
    {
        m_observed.reachedProvider = true;
        try {
            std::unique_ptr<DirectoryObject> object = m_directory.open(path, user, password, flags);
            m_observed.facts = object->facts();
            return std::make_unique<ObservedObject>(std::move(object), m_observed);
        } catch (const Failure& failure) {
            m_observed.failed(failure);
            throw;
        }
    }

private:
    DirectoryProvider& m_directory;
    Observed& m_observed;
};

CheckOutcome::Result resultOf(const Observed& observed)
{
    if (observed.containerPassed) {
        return CheckOutcome::Result::Valid;
    }
    if (observed.failure) {
        return observed.failure->step == CheckStep::Input ? CheckOutcome::Result::BadInput
                                                          : CheckOutcome::Result::Failed;
    }
    // Flags that did not convert never reach the provider.
    return observed.failedWithoutFacts || !observed.reachedProvider ? CheckOutcome::Result::BadInput
                                                                    : CheckOutcome::Result::Failed;
}

CheckOutcome notTried(const QString& server, const QString& why)
{
    CheckOutcome outcome;
    outcome.server = server;
    outcome.result = CheckOutcome::Result::NotTried;
    outcome.verdict = QStringLiteral("not tried: %1").arg(why);
    return outcome;
}

} // namespace

CheckOutcome checkOnce(DirectoryProvider& directory, const QString& path, const QString& user,
                       const QString& password, const QString& flags)
{
    CheckOutcome outcome;
    Observed observed;
    ObservedDirectory observing(directory, observed);
    VerdictBox box(outcome.verdict);
    TextFields fields;
    fields.pathText = path;
    fields.user = user;
    fields.secret = password;
    fields.flagsText = flags;
    QElapsedTimer timer;
    timer.start();
    ValidateUser(fields, box, observing);
    outcome.total = std::chrono::microseconds(timer.nsecsElapsed() / 1000);
    outcome.result = resultOf(observed);
    outcome.facts = observed.facts;
    outcome.failure = observed.failure;
    return outcome;
}

AllServersOutcome checkAllServers(const QString& path, const QString& user, const QString& password,
                                  const QString& flags)
{
    AllServersOutcome all;
    std::vector<QString> servers;
    qint32 bindFlags = 0;
    try {
        bindFlags = parseBindFlags(flags);
        LdapDirectoryProvider discovery;
        servers = discovery.serversFor(path, bindFlags);
    } catch (const Failure& failure) {
        all.discovery.verdict = failure.description();
        if (failure.hasFacts() && failure.facts().step != CheckStep::Input) {
            all.discovery.result = CheckOutcome::Result::Failed;
            all.discovery.failure = failure.facts();
        }
        return all;
    }
    all.discovery.result = CheckOutcome::Result::Valid;
    // Each server bound alone, as written.
    const QString serverFlags = QString::number(bindFlags | 0x200);
    const Clock::time_point end = Clock::now() + allServersLimit::servers;
    QString spentOn; // the server that got the password and did not accept it
    bool accepted = false;
    for (std::size_t at = 0; at < servers.size(); ++at) {
        const QString& server = servers[at];
        if (!spentOn.isEmpty() && !accepted) {
            all.servers.push_back(notTried(server,
                                           QStringLiteral("the password went to %1, which did not "
                                                          "accept it")
                                               .arg(spentOn)));
            continue;
        }
        const auto share = std::min<Clock::duration>(
            (end - Clock::now()) / static_cast<int>(servers.size() - at), allServersLimit::perServer);
        if (share < allServersLimit::leastShare) {
            all.servers.push_back(notTried(server, QStringLiteral("out of time")));
            continue;
        }
        // Reaching a server, its TLS handshake and the diagnosis of a failed one take a connect limit
        // each at most, everything after the connection one operation limit: 3/5 + 2/5 of the share.
        const auto fifth = std::chrono::duration_cast<std::chrono::milliseconds>(share / 5);
        LdapDirectoryProvider provider(DirectoryLimits { fifth, fifth * 2 });
        provider.readPasswordExpiry(true);
        all.servers.push_back(checkOnce(provider, LdapDirectoryProvider::pathOnServer(path, server), user,
                                        password, serverFlags));
        CheckOutcome& outcome = all.servers.back();
        outcome.server = server;
        accepted = accepted || outcome.passwordAccepted();
        if (spentOn.isEmpty() && outcome.passwordSpent()) {
            spentOn = server;
        }
    }
    return all;
}

} // namespace quorvane
