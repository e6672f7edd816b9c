#pragma once

#include <QtGlobal>

namespace quorvane {

// The bind-flag bits an administrator may set; unknown bits are ignored.
namespace bindflag {
constexpr qint32 secureAuthentication = 0x1; // the password must never travel in clear
constexpr qint32 useEncryption = 0x2;
constexpr qint32 readonlyServer = 0x4;
constexpr qint32 noAuthentication = 0x10;
constexpr qint32 fastBind = 0x20; // bind only, the object is not read
constexpr qint32 useSigning = 0x40;
constexpr qint32 useSealing = 0x80;
constexpr qint32 useDelegation = 0x100;
constexpr qint32 serverBind = 0x200;
constexpr qint32 noReferralChasing = 0x400;
} // namespace bindflag

namespace port {
constexpr int ldap = 389;
constexpr int ldaps = 636;
constexpr int globalCatalog = 3268;
constexpr int globalCatalogTls = 3269;
} // namespace port

} // namespace quorvane
