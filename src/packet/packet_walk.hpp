// The loop over data packets that the header scans, the column reader and the resampled read
// share.
#pragma once

#include <cstdint>
#include <optional>
#include <type_traits>

#include "errors/cwa_error.hpp"
#include "errors/messages.hpp"
#include "packet/cwa_file.hpp"
#include "packet/packet_meta.hpp"

namespace velmora {

// Reads packets from the reader's position and calls visit(block, packet) for every sample
// packet, `block` counting from 0 and `packet` pointing at its 512 bytes; a visitor that returns
// a bool ends the walk, successfully, by returning false. With a block count it
// reads that many blocks, and a missing one is "Unexpected end of CWA data"; without, it reads
// to a clean end of the file. The first failing header check ends the walk with its error.
// Inline with the visitor, and free of result objects per packet, so that the loop state stays
// in registers.
template <class Visit>
Status walk_sample_packets(SectorReader& reader, std::optional<uint64_t> blocks, Visit&& visit) {
  for (uint64_t block = 0; !blocks || block < *blocks; ++block) {
    const uint8_t* packet = reader.next_buffered();
    if (packet == nullptr) {
      VELMORA_ASSIGN_OR_RETURN(const std::optional<PacketBytes> read, reader.next());
      if (!read) {
        if (blocks) return fail(ErrorCode::kUnexpectedEndOfData);
        return {};
      }
      packet = read->data();
    }
    const PacketVerdict verdict = check_packet(packet);
    if (verdict == PacketVerdict::kSamples) {
      if constexpr (std::is_same_v<decltype(visit(block, packet)), bool>) {
        if (!visit(block, packet)) return {};
      } else {
        visit(block, packet);
      }
    } else if (verdict != PacketVerdict::kSkip) {
      return fail(packet_error(verdict, packet[packet_offset::kSampleFormat]));
    }
  }
  return {};
}

}  // namespace velmora
