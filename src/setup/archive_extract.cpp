#include "setup/archive_extract.h"

namespace kelo {

bool ExtractArchive(const uint8_t* data, size_t size, ArchiveSink* sink) {
  if (!ForEachRecord(data, size, [sink](const ArchiveRecord& r) { return sink->Accept(r); })) return false;
  if (!sink->Prepare()) return false;
  return ForEachRecord(data, size, [sink](const ArchiveRecord& r) { return sink->Write(r); });
}

}  // namespace kelo
