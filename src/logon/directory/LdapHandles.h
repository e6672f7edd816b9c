#pragma once

#include "Release.h"

#include <ldap.h>

#include <memory>

// One owner for each kind of libldap resource, each knowing its release function.
namespace quorvane {

// A handle must be unbound even when no bind ever happened.
inline void unbind(LDAP* ld)
{
    ldap_unbind_ext_s(ld, nullptr, nullptr);
}
inline void freeTexts(char** texts)
{
    ldap_memvfree(reinterpret_cast<void**>(texts));
}
inline void freeEscaped(char* text)
{
    ber_memfree(text);
}
using LdapHandle = std::unique_ptr<LDAP, Release<unbind>>;
using LdapMessage = std::unique_ptr<LDAPMessage, Release<ldap_msgfree>>;
using LdapText = std::unique_ptr<char, Release<ldap_memfree>>;
using LdapTexts = std::unique_ptr<char*, Release<freeTexts>>;
using LdapValues = std::unique_ptr<berval*, Release<ldap_value_free_len>>;
using EscapedValue = std::unique_ptr<char, Release<freeEscaped>>;
using LdapControl = std::unique_ptr<LDAPControl, Release<ldap_control_free>>;
using LdapControls = std::unique_ptr<LDAPControl*, Release<ldap_controls_free>>;
using LdapDn = std::unique_ptr<LDAPRDN, Release<ldap_dnfree>>; // from ldap_str2dn, which validates a DN

} // namespace quorvane
