#pragma once
// Writing a decoded archive's files through a sink. The installer's sink writes with Win32
// calls; the benchmark's with POSIX calls, so the walk itself runs and is measured natively.
#include <cstddef>
#include <cstdint>

#include "setup/packet.h"

namespace kelo {

class ArchiveSink {
 public:
  virtual ~ArchiveSink() = default;
  // Sees every record before the first file is written; false refuses the whole archive
  // (a path that would not fit, say), so nothing is written at all.
  virtual bool Accept(const ArchiveRecord& record) = 0;
  // Runs once every record was accepted, before the first write; false stops there.
  virtual bool Prepare() { return true; }
  // Writes one whole file; false stops the extraction at this record.
  virtual bool Write(const ArchiveRecord& record) = 0;
};

// Offers every record to sink->Accept, prepares the sink, then writes the records in
// archive order. False when the sink refused a record or could not be prepared, or a write
// failed; files written before a failure stay. Only for an archive that passed CheckArchive.
bool ExtractArchive(const uint8_t* data, size_t size, ArchiveSink* sink);

}  // namespace kelo
