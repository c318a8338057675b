#include "app/container/server_container.h"

#include "app/container/sign_service_class.h"
#include "platform/diagnostics.h"
#include "server/service/sm_sign_service.h"

TSC::TSC(TLogFunction AServiceLog) {
  dsSvr.SetName(u"dsSvr");
  SetUpTransport();
  SetUpServerClass(std::move(AServiceLog));
}

TSC::~TSC() {
  try {
    dsSvr.Stop();
  } catch (...) {
    // The components go next and stop what is left of them; nothing may leave a destructor.
    diagnostics::ReportCurrentException(u"Server container");
  }
}

void TSC::SetUpTransport() {
  dsTCP.SetServer(&dsSvr);
  TTransportFilterCollection& filters = dsTCP.Filters();
  filters.GetItem(filters.AddFilter(u"ZLibCompression"))
      ->SetFilterPropertiesText(u"CompressMoreThan=1024");
}

void TSC::SetUpServerClass(TLogFunction AServiceLog) {
  DSServerClass1.SetServer(&dsSvr);
  DSServerClass1.OnGetClass = DSServerClass1GetClass;
  if (AServiceLog) {
    DSServerClass1.OnCreateInstance =
        [log = std::move(AServiceLog)](TDSCreateInstanceEventObject& AEvent) {
          AEvent.ServerClassInstance = MakeInstance<TSMSignService>(log);
        };
  }
}
