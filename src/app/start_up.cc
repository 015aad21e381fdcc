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
  advice::explain(answer.state == ServerAtStartUp::RefusedLogin
                      ? advice::serverLoginRefused(settings.ftpHost, settings.ftpUser, dataFolder(),
                                                   answer.code)
                      : advice::serverOffline(settings.ftpHost, dataFolder(), answer.code));
  return nullptr;
}

}  // namespace provision
