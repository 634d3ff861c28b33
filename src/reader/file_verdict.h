// Judging a file once it is read: its "Zeichen:" and "Anzahl:" lines, the
// verdict from its byte values or its stamped sectors, and the lines of a
// wrong or unreadable file.
#ifndef KORV_READER_FILE_VERDICT_H_
#define KORV_READER_FILE_VERDICT_H_

#include <cstdint>
#include <string>

#include "reader/file_reader.h"

namespace korv {

// Prints the report of the read file of index, as CharacterReport tells
// (verify.h); its histogram must be folded. A stamped file is judged by its
// sectors; path names the file in the run record; text is the buffer the
// lines are built in. Returns true when the file is wrong, which a wrong
// line then said.
bool ReportFile(const FileRead& file, int32_t index, bool stamped,
                const std::string& path, std::string* text);

// Prints the wrong line of the file of index that the scan found but that
// cannot be opened (err), with the reason; path names it in the run record.
void ReportUnopenedFile(int32_t index, int err, const std::string& path,
                        std::string* text);

}  // namespace korv

#endif  // KORV_READER_FILE_VERDICT_H_
