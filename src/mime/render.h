// Rendering a message as the Internet mail text sent in the SMTP data phase.
#pragma once

#include <ctime>
#include <functional>
#include <string>

#include "mime/header_charset.h"
#include "mime/line_writer.h"
#include "mime/message.h"
#include "util/error.h"

namespace tessel::mime {

// Bytes of an attachment read for one base64 line (76 characters).
inline constexpr std::size_t kBase64ChunkBytes = 57;

// Base64 lines of an attachment read and encoded at a time (57 KiB read, 76 KiB encoded).
inline constexpr std::size_t kBase64LinesPerRead = 1024;

// Length of the multipart boundary.
inline constexpr std::size_t kBoundaryLength = 34;

// RenderError - an attachment file that cannot be opened or read when its part is reached.
class RenderError : public Error {
public:
    using Error::Error;
};

// FormatMailDate - the Date header value, "Tue, 5 Jan 2010 14:03:07 +0100", for a local time
// and its offset east of UTC in seconds. Never throws.
std::string FormatMailDate(const std::tm& localTime, long gmtOffsetSeconds);

// MakeMimeBoundary - 34 letters and digits with one "=_" pair, drawn from draw() (uniform in
// [0, 1)). Never throws.
std::string MakeMimeBoundary(const std::function<double()>& draw);

// MimeBoundary - the process's boundary: made from a clock-seeded source on the first call,
// the same for every later call. Never throws.
const std::string& MimeBoundary();

// RenderContext - what a rendering takes from outside the message; tests fix it.
struct RenderContext {
    std::string Boundary;
    std::string Date;
    HeaderCharset Charset;
};

// CurrentRenderContext - the process boundary, the Date of the local time now and the process
// header charset. Never throws.
RenderContext CurrentRenderContext();

// RenderMessage - writes the whole data content (header block, body, MIME parts with the
// attachment files in base64, dot-stuffed; the last line is empty) through writer, as a plain,
// single-attachment or multipart message. A multipart message uses context.Boundary unless a line
// of its text part begins with "--" and that boundary: then a fresh boundary of its own, which no
// line begins with. Attachment files are read 57 bytes at a time when
// their part is reached. Throws RenderError for an attachment that cannot be opened or read
// (lines written before stay written); the writer's exceptions pass through unchanged.
void RenderMessage(const OutgoingMessage& message, LineWriter& writer, const RenderContext& context);

// RenderMessage - as above with CurrentRenderContext().
void RenderMessage(const OutgoingMessage& message, LineWriter& writer);

}  // namespace tessel::mime
