#pragma once

#include "BindPlan.h"
#include "LdapConnection.h"

#include <QString>

namespace quorvane {

// One simple bind, the password's one attempt, with the one name this server takes; returns that
// name. Throws Failure with the server's refusal in words.
QString simpleBindOnce(LdapConnection& connection, const BindPlan& plan, const QString& password);

} // namespace quorvane
