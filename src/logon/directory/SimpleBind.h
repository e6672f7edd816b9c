#pragma once

#include "BindPlan.h"
#include "LdapSession.h"

#include <QString>

namespace quorvane {

// One simple bind, the password's one attempt, with the one name this server takes; returns that
// name. Throws Failure with the server's refusal in words.
QString simpleBindOnce(LDAP* ld, Target& target, const BindPlan& plan, const QString& password);

} // namespace quorvane
