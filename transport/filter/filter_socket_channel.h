#pragma once

// The filtered channel: sits between the message stream and the TCP channel of a connection.
// The first Read (server role) or Write (initiating role) negotiates with the peer which
// filters both ends apply; from then on every Write becomes one block [kind][length][body]
// whose body went through the filters, and Read hands out decoded block contents, keeping
// what the caller's buffer could not take for the next Read. A peer that does not negotiate
// may talk plain bytes, but only to a side without filters.
//
// Owns its filter list (copied from the configured one, so every connection has filter objects
// of its own) and its delegate. Used by its connection's thread only.
// Read/Write keep the channel's count / -1 contract: -1 for a bad header, a list that is not
// valid JSON or a failed handshake. An unregistered filter, a refused parameter, a failing
// filter and the delegate's own errors are raised as TDBXError.

#include <array>
#include <cstdint>
#include <memory>

#include "transport/channel.h"
#include "transport/filter/filter_format.h"
#include "transport/filter/transport_filter.h"
#include "transport/stream/memory_budget.h"

class TDBXFilterSocketChannel : public TDbxChannel {
 public:
  // No filters: a server built this way answers negotiation with "no filters".
  TDBXFilterSocketChannel();
  // Own copies of the filters of AFilterList (which may raise while applying configured
  // properties); nullptr gives no filters.
  explicit TDBXFilterSocketChannel(TTransportFilterCollection* AFilterList);
  ~TDBXFilterSocketChannel() override;

  void Open() override;
  void Close() override;
  int Read(std::span<std::uint8_t> Buffer, int Offset, int Count) override;
  int Write(std::span<const std::uint8_t> Buffer, int Offset, int Count) override;
  bool GetConnectionLost() const override;
  TDBXChannelInfo* GetChannelInfo() override;

  bool HasLeftover() const override;
  virtual bool HasFilters() const;
  // 0 not negotiated, 1 filtered, -1 plain.
  virtual int GetFlag() const;
  // The channel underneath; owned from here on.
  virtual void SetChannel(TDbxChannelPtr ADelegate);
  virtual void SetFilterList(TTransportFilterCollection* AValue);

  TTransportFilterCollection* GetFilterList() const { return FFilterList.get(); }
  // The connection's share of the process's memory budget: the body being received and the
  // decoded block held for the reader are charged to it (TMemoryBudgetExceeded when refused),
  // and the rest of the connection's pipeline charges what it holds to the same account.
  TMemoryAccountPtr MemoryAccount() const override { return FMemory; }
  TDbxChannel* GetDelegate() const { return FDelegate.get(); }

 private:
  int ServerNegotiate(std::span<std::uint8_t> Buffer, int Offset, int Count);
  int ClientNegotiate(std::span<const std::uint8_t> Buffer, int Offset, int Count);
  int FilteredRead(std::span<std::uint8_t> Buffer, int Offset, int Count);
  int FilteredWrite(std::span<const std::uint8_t> Buffer, int Offset, int Count);
  int PlainRead(std::span<std::uint8_t> Buffer, int Offset, int Count);

  bool ReadExactly(std::uint8_t* ADestination, int ACount);
  bool ReadHeader();
  // The body length of FHeaderData: kinds 07 and 0D only, 0 up to kMaxBlockLength.
  bool HeaderLength(std::int32_t& ALength) const;
  bool ReadBody(std::int32_t ALength, TBytes& ABody, TMemoryReservation& ACharge);
  bool WriteBlock(std::uint8_t AKind, std::span<const std::uint8_t> ABody, int& AResult);
  bool SendFilterList(bool APublicKeyPhase);
  bool ReceiveFilterList(bool APublicKeyPhase);
  bool HasPublicKeyFilters() const;
  TTransportFilter* FirstPublicKeyFilter() const;
  // Runs the public-key or the ordinary filters in list order; false (AResult untouched) when
  // none ran.
  bool RunFilters(bool APublicKey, bool AEncode, std::span<const std::uint8_t> AData,
                  TBytes& AResult);
  int HandOutLeftover(std::span<std::uint8_t> Buffer, int Offset, int Count);

  TMemoryAccountPtr FMemory = std::make_shared<TMemoryAccount>();
  std::unique_ptr<TTransportFilterCollection> FFilterList;
  std::array<std::uint8_t, filter_format::kHeaderSize>
      FHeaderData{};  // last header read or written
  TDbxChannelPtr FDelegate;
  int FFilterFlag = 0;
  TBytes FLeftover;  // decoded bytes of the current block not yet handed out
  TMemoryReservation FLeftoverCharge{FMemory};  // FLeftover's capacity
  std::size_t FLeftoverPos = 0;
  bool FPublicKeyPhaseDone =
      false;  // the ordinary list then travels through the public-key filters
};
