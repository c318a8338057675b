#include "app/container/server_container.h"

#include "app/container/sign_service_class.h"
#include "platform/diagnostics.h"
#include "server/service/sm_sign_service.h"
#include "transport/protocol/json_server_protocol_handler.h"
#include "transport/protocol_names.h"
#include "transport/server/session_manager.h"

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
  // Every connection speaks the JSON command protocol.
  dsTCP.SetProtocolHandlerFactory(std::make_unique<TDSJSONProtocolHandlerFactory>(dsTCP));
  TTransportFilterCollection& filters = dsTCP.Filters();
  filters.GetItem(filters.AddFilter(Text(protocol_names::kCompressionFilter)))
      ->SetFilterPropertiesText(u"CompressMoreThan=1024");
}

void TSC::SetUpServerClass(TLogFunction AServiceLog) {
  DSServerClass1.SetServer(&dsSvr);
  DSServerClass1.OnGetClass = DSServerClass1GetClass;
  FSignFailures = std::make_shared<TSignFailureJournal>(AServiceLog);
  DSServerClass1.OnCreateInstance = [log = std::move(AServiceLog), failures = FSignFailures](
                                        TDSCreateInstanceEventObject& AEvent) {
    // The instance serves the calls of one connection, made on its thread: the thread's
    // session tells the client's address.
    auto recorder = [failures](const Text& ASerial, const Text& AStatus) {
      const TDSSessionPtr session = TDSSessionManager::GetThreadSession();
      failures->Failed(session ? session->GetData(u"RemoteIP") : Text{}, ASerial, AStatus);
    };
    AEvent.ServerClassInstance = MakeInstance<TSMSignService>(log, std::move(recorder));
  };
}
