#pragma once
/// @file CanBaseDef.h
/// The CAN frame record and the abstract transport.

#include <cstdint>

namespace kav {
namespace hw_interface {

/// One classic CAN frame, laid out byte for byte as Linux's `struct can_frame`
/// (16 bytes), so it can be written to and read from a raw socket as is.
struct CanFrame {
  uint32_t can_id;             ///< identifier (11-bit standard identifiers here)
  uint8_t can_dlc;             ///< payload length in bytes
  uint8_t __pad;               ///< padding, sent as zero by the packers
  uint8_t __res0;              ///< reserved, sent as zero by the packers
  uint8_t __res1;              ///< reserved, sent as zero by the packers
  alignas(8) uint8_t data[8];  ///< payload bytes 0..7
};
static_assert(sizeof(CanFrame) == 16, "CanFrame must match struct can_frame");

/// Abstract transport. Not deletable through a base pointer: the owner holds
/// the concrete transport.
class CanBase {
 public:
  /// Opens the named endpoint; true on success.
  virtual bool Init(const char* interface) = 0;
  /// Sends one frame; false when it could not be sent.
  virtual bool ExchangeData(CanFrame* frame) = 0;
  /// Sends the frames queued for sending; false when one could not be sent.
  virtual bool WriteData() = 0;
  /// Receives what has arrived and hands it on; false when reading failed.
  virtual bool ReadData() = 0;
  /// True while a socket is held.
  virtual bool IsOpen() = 0;

 protected:
  ///@{
  /// For the concrete transports only.
  CanBase() = default;
  CanBase(const CanBase&) = default;
  CanBase& operator=(const CanBase&) = default;
  ~CanBase() = default;
  ///@}
};

}  // namespace hw_interface
}  // namespace kav
