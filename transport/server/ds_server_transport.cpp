#include "transport/server/ds_server_transport.h"

#include "platform/exception.h"

void TDSServerTransport::SetBufferKBSize(int AValue) {
  FBufferKBSize = AValue <= 0 ? 1 : AValue > 1000 ? 1000 : AValue;
}

void TDSServerTransport::SetIPImplementationID(Text AValue) {
  if (Active()) throw Exception(transport_messages::kIPImplementationIDActive);
  FIPImplementationID = std::move(AValue);
}
