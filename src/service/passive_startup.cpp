// Start-up of passive services: a capture component of the sniffer pool on the service's
// interface.
#include "service/catalogue.h"

namespace qx::service {

bool StartPassive(TQuorvexService& svc, TServiceData& service) {
  // Without a capture library the pool offers no sniffer: the service is abandoned with the
  // same messages as on a machine whose fourteen sniffers are all bound.
  svc.WriteServiceLog("Created listening thread for ip interface " + service.ipinterface +
                      " for service " + service.name);
  svc.ReportError("Unable to create listening thread for the ip interface " +
                  service.ipinterface + " for service " + service.name);
  return false;
}

void StopPassive(TQuorvexService& /*svc*/) {}

}  // namespace qx::service
