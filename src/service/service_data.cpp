// The service record's owned parts are destroyed here, where their types are complete.
#include "service/service_data.h"

#include "capture/relay.h"
#include "capture/thread_data.h"
#include "manage/manage_listener.h"

namespace qx::service {

TServiceData::TServiceData() = default;
TServiceData::~TServiceData() = default;

}  // namespace qx::service
