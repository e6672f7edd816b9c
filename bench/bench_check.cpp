// Times one logon check (open, container test, release) through our provider, side by side with
// a minimal libldap client doing the same connect, bind, base read and unbind.
#include "LdapDirectoryProvider.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <QTextStream>

#include <ldap.h>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace quorvane;

namespace {

const char* const userDn = "uid=sampleusr,ou=Users,ou=HQ,dc=example,dc=com";
const char* const objectDn = "OU=Users,OU=HQ,DC=example,DC=com";

// With `policy`, the bind asks for the password policy's answer, as the check does.
bool minimalCheck(const QByteArray& uri, bool tls, const QByteArray& caFile, const QByteArray& password,
                  bool policy)
{
    LDAP* ld = nullptr;
    if (ldap_initialize(&ld, uri.constData()) != LDAP_SUCCESS) {
        return false;
    }
    const int version = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    if (tls) {
        const int demand = LDAP_OPT_X_TLS_DEMAND;
        const int client = 0;
        ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, caFile.constData());
        ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
        ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &client);
    }
    QByteArray secret = password;
    berval credentials { static_cast<ber_len_t>(secret.size()), secret.data() };
    LDAPControl* control = nullptr;
    if (policy) {
        ldap_create_passwordpolicy_control(ld, &control);
    }
    LDAPControl* controls[] = { control, nullptr };
    LDAPMessage* answer = nullptr;
    int messageId = 0;
    bool ok = ldap_sasl_bind(ld, userDn, LDAP_SASL_SIMPLE, &credentials, controls, nullptr, &messageId)
            == LDAP_SUCCESS
        && ldap_result(ld, messageId, LDAP_MSG_ALL, nullptr, &answer) == LDAP_RES_BIND;
    int code = LDAP_OTHER;
    LDAPControl** answered = nullptr;
    ok = ok && ldap_parse_result(ld, answer, &code, nullptr, nullptr, nullptr, &answered, 1) == LDAP_SUCCESS
        && code == LDAP_SUCCESS;
    ldap_controls_free(answered);
    ldap_control_free(control);
    if (ok) {
        char* attributes[] = { const_cast<char*>("objectClass"), const_cast<char*>("hasSubordinates"),
                               nullptr };
        LDAPMessage* result = nullptr;
        ok = ldap_search_ext_s(ld, objectDn, LDAP_SCOPE_BASE, "(objectClass=*)", attributes, 0, nullptr,
                               nullptr, nullptr, 1, &result)
                == LDAP_SUCCESS
            && ldap_count_entries(ld, result) == 1;
        ldap_msgfree(result);
    }
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    return ok;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: bench_check LDAP_PORT LDAPS_PORT CA_FILE ROUNDS (password on stdin)\n");
        return 2;
    }
    QCoreApplication application(argc, argv);
    const QString ldapPort = QString::fromUtf8(argv[1]);
    const QString ldapsPort = QString::fromUtf8(argv[2]);
    const QByteArray caFile(argv[3]);
    const int rounds = std::max(1, QByteArray(argv[4]).toInt());
    const QByteArray password = QTextStream(stdin).readLine().toUtf8();

    LdapDirectoryProvider provider;
    struct Transport
    {
        const char* name;
        bool tls;
        QString path;
        QByteArray uri;
    };
    const Transport transports[] = {
        { "LDAP", false, QStringLiteral("LDAP://127.0.0.1:%1/%2").arg(ldapPort, QString::fromUtf8(objectDn)),
          QStringLiteral("ldap://127.0.0.1:%1").arg(ldapPort).toUtf8() },
        { "LDAPS", true,
          QStringLiteral("LDAPS://127.0.0.1:%1/%2").arg(ldapsPort, QString::fromUtf8(objectDn)),
          QStringLiteral("ldaps://127.0.0.1:%1").arg(ldapsPort).toUtf8() },
    };
    std::printf("%-6s %8s %12s %12s %7s %12s %7s\n", "", "rounds", "quorvane ms", "minimal ms", "ratio",
                "+policy ms", "ratio");
    for (const Transport& transport : transports) {
        std::vector<double> ours;
        std::vector<double> minimal;
        std::vector<double> minimalPolicy; // asking for the password policy's answer too, as we do
        for (int round = 0; round < rounds; ++round) {
            // Interleaved, so drift on the machine touches both alike.
            QElapsedTimer timer;
            timer.start();
            auto opened =
                provider.open(transport.path, QString::fromUtf8(userDn), QString::fromUtf8(password), 0);
            opened->requireContainer();
            opened.reset();
            ours.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
            timer.restart();
            for (const bool policy : { false, true }) {
                if (!minimalCheck(transport.uri, transport.tls, caFile, password, policy)) {
                    std::fprintf(stderr, "the minimal client failed over %s\n", transport.name);
                    return 1;
                }
                (policy ? minimalPolicy : minimal).push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
                timer.restart();
            }
        }
        std::printf("%-6s %8d %12.3f %12.3f %7.3f %12.3f %7.3f\n", transport.name, rounds, median(ours),
                    median(minimal), median(ours) / median(minimal), median(minimalPolicy),
                    median(ours) / median(minimalPolicy));
    }
    return 0;
}
