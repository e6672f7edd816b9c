/* One negotiated LDAP check with nothing but the calls MIT GSS-API, Cyrus SASL and libldap need:
 * the baseline a Kerberos check is measured against, and a probe of how a domain controller answers.
 *
 *   minimal_gss_check [-g] [-n] [-p] [-t] [-R REALM] [-r ROUNDS] LDAP_URI USER BASE_DN
 *
 * Each round: connect, read the root entry anonymously, acquire a credential from the password,
 * GSS-SPNEGO bind with it, read BASE_DN, release everything. Kerberos by default: USER is
 * user@domain, imported as an enterprise name in the realm the root entry names, else in REALM (a
 * plain slapd names none) (-p: as a plain principal, exactly as typed; -g: SASL GSSAPI instead of
 * GSS-SPNEGO). -n: NTLM (gss-ntlmssp) instead, USER as typed. -t prints which mechanism the server
 * saw, from the bound identity's tokenGroups (a domain controller's only).
 * The password comes from MINIMAL_CHECK_PASSWORD, else from the first line of standard input.
 * Exit status: 0 every round bound, 1 a round failed, 2 usage.
 */
#define _POSIX_C_SOURCE 200809L

#include <ldap.h>

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5/krb5.h>
#include <sasl/sasl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static gss_OID_desc krb5Mech = { 9, "\x2a\x86\x48\x86\xf7\x12\x01\x02\x02" };
static gss_OID_desc spnegoMech = { 6, "\x2b\x06\x01\x05\x05\x02" };
static gss_OID_desc ntlmMech = { 10, "\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a" };

struct Options
{
    int ntlm;
    int plainPrincipal;
    int showMechanism;
    int saslGssapi;
    char memoryCache[64];
    int rounds;
    const char* realm;
    const char* uri;
    const char* user;
    const char* baseDn;
};

struct BindContext
{
    gss_cred_id_t cred;
    int handedOver;
};

static double nowMs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

static void printGssStatus(const char* what, OM_uint32 major, OM_uint32 minor, gss_OID mech)
{
    fprintf(stderr, "%s: major 0x%x", what, major);
    OM_uint32 context = 0, ignored;
    do {
        gss_buffer_desc text = GSS_C_EMPTY_BUFFER;
        gss_display_status(&ignored, major, GSS_C_GSS_CODE, GSS_C_NO_OID, &context, &text);
        fprintf(stderr, " \"%.*s\"", (int)text.length, (const char*)text.value);
        gss_release_buffer(&ignored, &text);
    } while (context != 0);
    if (minor != 0) {
        do {
            gss_buffer_desc text = GSS_C_EMPTY_BUFFER;
            gss_display_status(&ignored, minor, GSS_C_MECH_CODE, mech, &context, &text);
            fprintf(stderr, "; minor 0x%x \"%.*s\"", minor, (int)text.length, (const char*)text.value);
            gss_release_buffer(&ignored, &text);
        } while (context != 0);
    }
    fputc('\n', stderr);
}

static void printLdapError(LDAP* ld, const char* what, int rc)
{
    char* diagnostic = NULL;
    ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diagnostic);
    fprintf(stderr, "%s: %d %s%s%s\n", what, rc, ldap_err2string(rc), diagnostic && *diagnostic ? ": " : "",
            diagnostic ? diagnostic : "");
    ldap_memfree(diagnostic);
}

/* Cyrus SASL's context exists only once the bind has started: setting the credential any earlier
 * is refused, so it is handed over here. The one prompt (the authorization identity) stays empty. */
static int interact(LDAP* ld, unsigned flags, void* defaults, void* prompts)
{
    (void)flags;
    struct BindContext* context = defaults;
    if (ldap_set_option(ld, LDAP_OPT_X_SASL_GSS_CREDS, context->cred) != LDAP_OPT_SUCCESS) {
        return LDAP_LOCAL_ERROR;
    }
    context->handedOver++;
    for (sasl_interact_t* prompt = prompts; prompt->id != SASL_CB_LIST_END; prompt++) {
        prompt->result = "";
        prompt->len = 0;
    }
    return LDAP_SUCCESS;
}

/* Copies the first value of ATTRIBUTE in the one entry of RESULT into OUT; empty when absent. */
static void firstValue(LDAP* ld, LDAPMessage* result, const char* attribute, char* out, size_t size)
{
    out[0] = '\0';
    LDAPMessage* entry = ldap_first_entry(ld, result);
    struct berval** values = entry ? ldap_get_values_len(ld, entry, attribute) : NULL;
    if (values && values[0]) {
        snprintf(out, size, "%.*s", (int)values[0]->bv_len, values[0]->bv_val);
    }
    ldap_value_free_len(values);
}

static int hasValue(LDAP* ld, LDAPMessage* result, const char* attribute, const char* wanted)
{
    LDAPMessage* entry = ldap_first_entry(ld, result);
    struct berval** values = entry ? ldap_get_values_len(ld, entry, attribute) : NULL;
    int found = 0;
    for (int i = 0; values && values[i]; i++) {
        found |=
            values[i]->bv_len == strlen(wanted) && memcmp(values[i]->bv_val, wanted, strlen(wanted)) == 0;
    }
    ldap_value_free_len(values);
    return found;
}

/* S-1-18-1 (authentication authority asserted) marks Kerberos, S-1-5-64-10 (NTLM authentication). */
static const char* mechanismSeen(LDAP* ld)
{
    static const char kerberosSid[] = "\x01\x01\x00\x00\x00\x00\x00\x12\x01\x00\x00\x00";
    static const char ntlmSid[] = "\x01\x02\x00\x00\x00\x00\x00\x05\x40\x00\x00\x00\x0a\x00\x00\x00";
    char* attributes[] = { "tokenGroups", NULL };
    LDAPMessage* result = NULL;
    const char* seen = "unknown";
    if (ldap_search_ext_s(ld, "", LDAP_SCOPE_BASE, "(objectClass=*)", attributes, 0, NULL, NULL, NULL, 0,
                          &result)
        == LDAP_SUCCESS) {
        LDAPMessage* entry = ldap_first_entry(ld, result);
        struct berval** values = entry ? ldap_get_values_len(ld, entry, "tokenGroups") : NULL;
        for (int i = 0; values && values[i]; i++) {
            if (values[i]->bv_len == sizeof kerberosSid - 1
                && memcmp(values[i]->bv_val, kerberosSid, sizeof kerberosSid - 1) == 0) {
                seen = "kerberos";
            } else if (values[i]->bv_len == sizeof ntlmSid - 1
                       && memcmp(values[i]->bv_val, ntlmSid, sizeof ntlmSid - 1) == 0) {
                seen = "ntlm";
            }
        }
        ldap_value_free_len(values);
    }
    ldap_msgfree(result);
    return seen;
}

/* The AS exchange happens here, into a MEMORY cache private to the credential: the KDC's verdict. */
static int acquireKerberos(const struct Options* options, const char* realm, gss_buffer_desc* password,
                           gss_cred_id_t* cred)
{
    char principal[512];
    gss_OID nameType = GSS_KRB5_NT_ENTERPRISE_NAME;
    if (options->plainPrincipal) {
        snprintf(principal, sizeof principal, "%s", options->user);
        nameType = GSS_KRB5_NT_PRINCIPAL_NAME;
    } else {
        snprintf(principal, sizeof principal, "%s@%s", options->user, realm);
    }
    gss_buffer_desc nameText = { strlen(principal), principal };
    gss_name_t name = GSS_C_NO_NAME;
    OM_uint32 minor, ignored;
    OM_uint32 major = gss_import_name(&minor, &nameText, nameType, &name);
    if (GSS_ERROR(major)) {
        printGssStatus("gss_import_name", major, minor, GSS_C_NO_OID);
        return 0;
    }
    gss_OID_set_desc krb5Only = { 1, &krb5Mech };
    major = gss_acquire_cred_with_password(&minor, name, password, GSS_C_INDEFINITE, &krb5Only,
                                           GSS_C_INITIATE, cred, NULL, NULL);
    gss_release_name(&ignored, &name);
    if (GSS_ERROR(major)) {
        printGssStatus("gss_acquire_cred_with_password", major, minor, &krb5Mech);
        return 0;
    }
    return 1;
}

static int pin(gss_cred_id_t cred, gss_OID mech)
{
    OM_uint32 minor;
    gss_OID_set_desc only = { 1, mech };
    OM_uint32 major = gss_set_neg_mechs(&minor, cred, &only);
    if (GSS_ERROR(major)) {
        printGssStatus("gss_set_neg_mechs", major, minor, GSS_C_NO_OID);
        return 0;
    }
    return 1;
}

/* The credential the bind uses, pinned to one mechanism inside SPNEGO. Kerberos: acquired for krb5
 * alone, so the KDC's answer is the verdict; SPNEGO cannot use a krb5-only credential (it silently
 * takes the default ccache instead), so the ticket goes into a private MEMORY cache and a SPNEGO
 * credential is made from that. NTLM: the password reaches gss-ntlmssp through its cred store
 * entry, never krb5, which with a password would try the KDC once more on its own. */
static int acquire(const struct Options* options, const char* realm, gss_buffer_desc* password,
                   gss_cred_id_t* cred)
{
    OM_uint32 major, minor;
    gss_OID_set_desc spnego = { 1, &spnegoMech };
    if (options->ntlm) {
        gss_buffer_desc nameText = { strlen(options->user), (void*)options->user };
        gss_name_t name = GSS_C_NO_NAME;
        major = gss_import_name(&minor, &nameText, GSS_C_NT_USER_NAME, &name);
        if (GSS_ERROR(major)) {
            printGssStatus("gss_import_name", major, minor, GSS_C_NO_OID);
            return 0;
        }
        gss_key_value_element_desc secret = { "ntlmssp_password", password->value };
        gss_key_value_set_desc store = { 1, &secret };
        major = gss_acquire_cred_from(&minor, name, GSS_C_INDEFINITE, &spnego, GSS_C_INITIATE, &store, cred,
                                      NULL, NULL);
        OM_uint32 ignored;
        gss_release_name(&ignored, &name);
        if (GSS_ERROR(major)) {
            printGssStatus("gss_acquire_cred_from", major, minor, &ntlmMech);
            return 0;
        }
        return pin(*cred, &ntlmMech);
    }
    gss_cred_id_t krb5Cred = GSS_C_NO_CREDENTIAL;
    if (!acquireKerberos(options, realm, password, &krb5Cred)) {
        return 0;
    }
    if (options->saslGssapi) {
        *cred = krb5Cred;
        return 1;
    }
    OM_uint32 ignored;
    gss_key_value_element_desc cache = { "ccache", options->memoryCache };
    gss_key_value_set_desc store = { 1, &cache };
    major = gss_store_cred_into(&minor, krb5Cred, GSS_C_INITIATE, &krb5Mech, 1, 1, &store, NULL, NULL);
    gss_release_cred(&ignored, &krb5Cred);
    if (GSS_ERROR(major)) {
        printGssStatus("gss_store_cred_into", major, minor, &krb5Mech);
        return 0;
    }
    major = gss_acquire_cred_from(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &spnego, GSS_C_INITIATE, &store,
                                  cred, NULL, NULL);
    if (GSS_ERROR(major)) {
        printGssStatus("gss_acquire_cred_from", major, minor, &krb5Mech);
        return 0;
    }
    return pin(*cred, &krb5Mech);
}

/* One whole check; prints its outcome and returns 1 when the bind and the read succeeded. */
static int check(const struct Options* options, gss_buffer_desc* password, double* elapsedMs)
{
    const double start = nowMs();
    int ok = 0;
    LDAP* ld = NULL;
    LDAPMessage* root = NULL;
    LDAPMessage* object = NULL;
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
    OM_uint32 ignored;
    krb5_context krb;
    if (krb5_init_context(&krb) != 0) {
        fprintf(stderr, "krb5_init_context failed\n");
        return 0;
    }

    int rc = ldap_initialize(&ld, options->uri);
    if (rc != LDAP_SUCCESS) {
        fprintf(stderr, "ldap_initialize: %s\n", ldap_err2string(rc));
        krb5_free_context(krb);
        return 0;
    }
    const int version = LDAP_VERSION3;
    const struct timeval connectLimit = { 10, 0 };
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &connectLimit);
    /* SASL asks for ldap/<host as written>, not for the peer's reverse name. MIT may still
     * canonicalise that host itself (forward and reverse lookup) unless krb5.conf says otherwise. */
    ldap_set_option(ld, LDAP_OPT_X_SASL_NOCANON, LDAP_OPT_ON);

    char* rootAttributes[] = { "ldapServiceName", "dnsHostName", "supportedSASLMechanisms", NULL };
    rc = ldap_search_ext_s(ld, "", LDAP_SCOPE_BASE, "(objectClass=*)", rootAttributes, 0, NULL, NULL, NULL, 0,
                           &root);
    if (rc != LDAP_SUCCESS) {
        printLdapError(ld, "root entry", rc);
        goto done;
    }
    if (!hasValue(ld, root, "supportedSASLMechanisms", "GSS-SPNEGO")) {
        fprintf(stderr, "the server does not offer GSS-SPNEGO\n");
        goto done;
    }
    char serviceName[512];
    firstValue(ld, root, "ldapServiceName", serviceName, sizeof serviceName);
    const char* realm = strrchr(serviceName, '@');
    realm = realm ? realm + 1 : options->realm;
    if (!options->ntlm && !options->plainPrincipal && !realm) {
        fprintf(stderr, "no realm in the root entry's ldapServiceName, and no -R\n");
        goto done;
    }

    if (!acquire(options, realm ? realm : "", password, &cred)) {
        goto done;
    }
    struct BindContext context = { cred, 0 };
    rc = ldap_sasl_interactive_bind_s(ld, NULL, options->saslGssapi ? "GSSAPI" : "GSS-SPNEGO", NULL, NULL,
                                      LDAP_SASL_QUIET, interact, &context);
    if (rc != LDAP_SUCCESS) {
        printLdapError(ld, "bind", rc);
        goto done;
    }
    if (context.handedOver != 1) {
        fprintf(stderr, "the credential was handed to SASL %d times\n", context.handedOver);
        goto done;
    }
    ber_len_t ssf = 0;
    ldap_get_option(ld, LDAP_OPT_X_SASL_SSF, &ssf);

    char* objectAttributes[] = { "objectClass", NULL };
    rc = ldap_search_ext_s(ld, options->baseDn, LDAP_SCOPE_BASE, "(objectClass=*)", objectAttributes, 0, NULL,
                           NULL, NULL, 1, &object);
    if (rc != LDAP_SUCCESS || ldap_count_entries(ld, object) != 1) {
        printLdapError(ld, "object read", rc);
        goto done;
    }
    const char* seen = options->showMechanism ? mechanismSeen(ld) : NULL;
    printf("bound, SSF %lu%s%s", (unsigned long)ssf, seen ? ", server saw " : "", seen ? seen : "");
    ok = 1;

done:
    ldap_msgfree(object);
    ldap_msgfree(root);
    ldap_unbind_ext_s(ld, NULL, NULL);
    gss_release_cred(&ignored, &cred);
    krb5_ccache cache;
    if (krb5_cc_resolve(krb, options->memoryCache, &cache) == 0) {
        krb5_cc_destroy(krb, cache);
    }
    krb5_free_context(krb);
    *elapsedMs = nowMs() - start;
    if (ok) {
        printf(", %.2f ms\n", *elapsedMs);
    }
    fflush(stdout);
    return ok;
}

static int compareDoubles(const void* a, const void* b)
{
    const double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

static int usage(void)
{
    fprintf(stderr,
            "usage: minimal_gss_check [-g] [-n] [-p] [-t] [-R REALM] [-r ROUNDS] LDAP_URI USER BASE_DN\n");
    return 2;
}

int main(int argc, char** argv)
{
    struct Options options = { 0, 0, 0, 0, "", 1, NULL, NULL, NULL, NULL };
    int opt;
    while ((opt = getopt(argc, argv, "gnpR:tr:")) != -1) {
        switch (opt) {
        case 'n':
            options.ntlm = 1;
            break;
        case 'g':
            options.saslGssapi = 1;
            break;
        case 'p':
            options.plainPrincipal = 1;
            break;
        case 'R':
            options.realm = optarg;
            break;
        case 't':
            options.showMechanism = 1;
            break;
        case 'r':
            options.rounds = atoi(optarg);
            break;
        default:
            return usage();
        }
    }
    if (argc - optind != 3 || options.rounds < 1 || options.rounds > 10000) {
        return usage();
    }
    snprintf(options.memoryCache, sizeof options.memoryCache, "MEMORY:minimal-gss-check-%ld", (long)getpid());
    options.uri = argv[optind];
    options.user = argv[optind + 1];
    options.baseDn = argv[optind + 2];

    char* line = NULL;
    size_t capacity = 0;
    const char* fromEnvironment = getenv("MINIMAL_CHECK_PASSWORD");
    gss_buffer_desc password = GSS_C_EMPTY_BUFFER;
    if (fromEnvironment) {
        password.value = (void*)fromEnvironment;
        password.length = strlen(fromEnvironment);
    } else {
        ssize_t length = getline(&line, &capacity, stdin);
        if (length <= 0) {
            fprintf(stderr, "no password on standard input\n");
            free(line);
            return 2;
        }
        line[strcspn(line, "\r\n")] = '\0';
        password.value = line;
        password.length = strlen(line);
    }

    double* times = calloc((size_t)options.rounds, sizeof *times);
    int failed = 0;
    for (int i = 0; i < options.rounds && !failed; i++) {
        failed = !check(&options, &password, &times[i]);
    }
    if (!failed && options.rounds > 1) {
        qsort(times, (size_t)options.rounds, sizeof *times, compareDoubles);
        printf("median of %d: %.2f ms\n", options.rounds, times[options.rounds / 2]);
    }
    free(times);
    free(line);
    return failed ? 1 : 0;
}
