#pragma once

// The front of a connection's command chain: reads one request at a time from the message
// reader, fills the message object of its kind and hands it to the connection handler; a
// failure inside a request becomes the error reply and the next request is read as usual.
//
// Owns the connection's reader, writer and parameter row and, through the connection handler,
// everything down to the channel; the connection handler goes first when it is destroyed.
// Used by the connection's thread only.

#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "transport/protocol/dbx_messages.h"
#include "transport/protocol/server_connection_handler.h"
#include "transport/stream/json_stream_reader.h"
#include "transport/stream/json_stream_writer.h"
#include "transport/stream/row_buffer.h"

class TDBXJSonServerInputConnectionHandler {
 public:
  // AReadsParameterDescriptors: the descriptors of prepare and execute requests are read
  // (always so on the server).
  TDBXJSonServerInputConnectionHandler(std::unique_ptr<TDBXJSonStreamReader> AReader,
                                       std::unique_ptr<TDBXJSonStreamWriter> AWriter,
                                       std::unique_ptr<TDBXRowBuffer> ARowBuffer,
                                       std::unique_ptr<TDSServerConnectionHandler> ANext,
                                       bool AReadsParameterDescriptors = true);
  ~TDBXJSonServerInputConnectionHandler();

  // Handles the request whose method ReadMethod has classified as ACode; false when request
  // handling ends (a disconnect, or an error reply that could not be written).
  bool HandleDbxRequest(int ACode);
  // Answers the request being read with the error reply of AFailure; false when the reply could
  // not be written.
  bool AnswerFailure(std::exception_ptr AFailure);
  // Answers with the error reply of AFailure, then ends the connection: for a request whose
  // bytes were dropped unread, after which the stream cannot be read on.
  void AnswerAndEnd(std::exception_ptr AFailure);
  void Close();
  // Between requests: frees the reader's, writer's and row's buffers that hold nothing.
  void ReleaseIdleBuffers();

  TDBXJSonStreamReader& Reader() const { return *FReader; }
  TDBXJSonStreamWriter& Writer() const { return *FWriter; }
  TDBXRowBuffer& RowBuffer() const { return *FRowBuffer; }
  TDSServerConnectionHandler& ConnectionHandler() const { return *FConnectionHandler; }

 private:
  void DispatchRequest(int ACode);
  // Consumes the rest of a request whose "params" value was AToken.
  void SkipRestOfRequest(int AToken);
  // The frame of the requests with a short argument list: AMessage starts empty, AReadArguments
  // reads the arguments of a well-formed list, and the request is read to its end either way.
  template <class TMessage, class TReadArguments>
  void ReadArguments(TMessage& AMessage, TReadArguments AReadArguments);
  Text ReadText();
  void ReadParameterDescriptors(TDBXParameterList& AParameters);
  TDBXParameter ReadParameterDescriptor();

  void ReadConnect();
  void ReadPrepare();
  void ReadExecute(std::optional<std::string> AMetadata);
  void ReadExecuteItem(int AKey);
  void ReadCommandClose();
  void ReadReaderClose();
  void ReadNext();
  void ReadNextResult();
  void ReadMoreBlob();
  void ReadTxBegin();
  void ReadTxEnd();
  void ReadVendorProperty();

  std::unique_ptr<TDBXJSonStreamReader> FReader;
  std::unique_ptr<TDBXJSonStreamWriter> FWriter;
  std::unique_ptr<TDBXRowBuffer> FRowBuffer;
  std::unique_ptr<TDSServerConnectionHandler> FConnectionHandler;  // destroyed first
  bool FReadsParameterDescriptors;

  TDBXConnectMessage FConnectMessage;
  TDBXPrepareMessage FPrepareMessage;
  TDBXExecuteMessage FExecuteMessage;
  TDBXCommandCloseMessage FCommandCloseMessage;
  TDBXReaderCloseMessage FReaderCloseMessage;
  TDBXNextMessage FNextMessage;
  TDBXNextResultMessage FNextResultMessage;
  TDBXMoreBlobMessage FMoreBlobMessage;
  TDBXTxBeginMessage FTxBeginMessage;
  TDBXTxEndMessage FTxEndMessage;
  TDBXVendorPropertyMessage FVendorPropertyMessage;
  TDBXErrorMessage FErrorMessage;
  // Received with a metadata message, for the connection's next execute.
  std::optional<std::string> FMetadata;
};
