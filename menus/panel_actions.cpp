#include <cstdio>

#include "core/works.h"
#include "menus/panel_apply.h"

void PanelNetAction(Works*, const PanelEvent&, PanelReply* reply) {
  reply->refused = true;
  snprintf(reply->reason, sizeof reply->reason, "not available");
}
