#include "app/start_up.h"

#include "ftp/ftp_source.h"
#include "log/advice.h"
#include "settings/settings.h"
#include "workspace/workspace.h"

namespace provision {

FtpSource* startWorkspace(FtpSource& server) {
  const ServerAnswer answer = checkPackageServer(server);
  prepareWorkspace();
  settings.serverOnline = answer.state == ServerAtStartUp::Answered;
  if (settings.serverOnline) return &server;
  switch (answer.state) {
    case ServerAtStartUp::RefusedLogin:
      advice::explain(advice::serverLoginRefused(settings.ftpHost, settings.ftpUser, dataFolder(),
                                                 answer.code));
      break;
    case ServerAtStartUp::TurnedAway:
      advice::explain(advice::serverTurnedAway(settings.ftpHost, answer.code));
      break;
    default:
      advice::explain(advice::serverOffline(settings.ftpHost, dataFolder(), answer.code));
      break;
  }
  return nullptr;
}

}  // namespace provision
