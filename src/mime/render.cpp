#include "mime/render.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>

#include "mime/attachment_name.h"
#include "mime/header_encoding.h"
#include "mime/header_lines.h"
#include "mime/japanese.h"
#include "mime/transfer_encoding.h"
#include "util/base64.h"
#include "util/unique_fd.h"

namespace tessel::mime {

namespace {

constexpr std::string_view kPreamble = "This is a multi-part message in MIME format";

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

enum class Shape { Plain, SingleAttachment, Multipart };

bool IsBlankBody(const BodyText& lines) {
    for (std::string_view line : lines) {
        if (line.find_first_not_of(" \t") != std::string::npos) return false;
    }
    return true;
}

Shape ShapeOf(const OutgoingMessage& message) {
    if (message.Attachments.empty()) return Shape::Plain;
    if (message.Attachments.size() == 1 && IsBlankBody(message.Body)) return Shape::SingleAttachment;
    return Shape::Multipart;
}

// A plain message needs MIME headers only to label 8-bit text or to announce quoted-printable;
// otherwise it keeps the bare form.
bool NeedsMimeHeaders(const TextBodyForm& form) {
    return !form.Charset.empty() || form.Encoding == TransferEncoding::QuotedPrintable;
}

std::vector<std::string> HeaderBlock(const OutgoingMessage& message, Shape shape, const RenderContext& context,
                                     const TextBodyForm& plainForm) {
    const bool plainMime = shape == Shape::Plain && NeedsMimeHeaders(plainForm);
    std::string to;
    for (std::size_t i = 0; i < message.Recipients.size(); ++i) {
        if (i > 0) to += ", ";
        to += FormatHeaderAddress(message.Recipients[i], false, context.Charset);
    }
    HeaderLines headers;
    headers.Set("From", FormatHeaderAddress(message.From, true, context.Charset));
    headers.Set("Subject", EncodeHeaderText(HeaderSafeText(message.Subject), {}, context.Charset));
    headers.Set("To", to);
    if (shape == Shape::Multipart)
        headers.Set("Content-Type", "multipart/mixed; boundary=\"" + context.Boundary + "\"");
    if (plainMime) headers.Set("Content-Type", TextContentType(plainForm));
    if (shape != Shape::Plain || plainMime) headers.Set("MIME-Version", "1.0");
    if (plainMime) headers.Set("Content-Transfer-Encoding", TransferEncodingName(plainForm.Encoding));
    headers.Set("Sender", FormatSenderAddress(message.Sender, context.Charset));
    headers.Set("Date", context.Date);
    headers.Set("Message-ID", message.MessageId);
    return headers.Lines();
}

// A body line beginning with a full stop gets one more, so that it cannot end the data.
void WriteBodyLine(LineWriter& writer, std::string_view line) {
    if (!line.empty() && line.front() == '.') {
        writer.WriteLine("." + std::string(line));
    } else {
        writer.WriteLine(line);
    }
}

// OpenAttachment - the stored file of attachment, open for reading. Throws RenderError.
UniqueFd OpenAttachment(const MessageAttachment& attachment) {
    UniqueFd file(::open(attachment.StoredPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file)
        throw RenderError("Cannot open attachment file \"" + attachment.StoredPath + "\": " + SystemText(errno));
    return file;
}

// FillBlock - reads into block until it is full or the file ends; returns the bytes read.
// Throws RenderError.
std::size_t FillBlock(int fd, char* block, std::size_t size, const MessageAttachment& attachment) {
    std::size_t filled = 0;
    while (filled < size) {
        ssize_t got = ::read(fd, block + filled, size - filled);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            throw RenderError("Cannot read attachment file \"" + attachment.StoredPath + "\": " + SystemText(errno));
        }
        filled += static_cast<std::size_t>(got);
    }
    return filled;
}

// WriteBase64File - the file as base64 lines of 76 characters. A block of whole lines is read and
// encoded at a time, and each line handed to the writer as a view of the encoded block.
void WriteBase64File(LineWriter& writer, int fd, const MessageAttachment& attachment) {
    constexpr std::size_t kLineChars = Base64Size(kBase64ChunkBytes);
    std::vector<char> block(kBase64ChunkBytes * kBase64LinesPerRead);
    std::vector<char> encoded(kLineChars * kBase64LinesPerRead);
    for (;;) {
        const std::size_t got = FillBlock(fd, block.data(), block.size(), attachment);
        const std::size_t chars = Base64EncodeTo(std::string_view(block.data(), got), encoded.data());
        for (std::size_t at = 0; at < chars; at += kLineChars) {
            writer.WriteLine(std::string_view(encoded.data() + at, std::min(kLineChars, chars - at)));
        }
        if (got < block.size()) break;
    }
}

void WriteLines(LineWriter& writer, const std::vector<std::string>& lines) {
    for (const std::string& line : lines) writer.WriteLine(line);
}

// A line break in the name must not start a header of its own, and a quote or a backslash must
// not end a quoted name early (a second filename= would follow, and mail readers differ on which
// one wins); other control bytes have no place in a quoted parameter either.
std::string SafeFileName(const std::string& fileName) {
    std::string name = HeaderSafeText(fileName);
    for (char& c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\' || byte < 0x20 || byte == 0x7F) c = '_';
    }
    return name;
}

void WriteAttachmentPart(LineWriter& writer, const MessageAttachment& attachment, const HeaderCharset& charset) {
    UniqueFd file = OpenAttachment(attachment);
    const std::string name = SafeFileName(attachment.FileName);
    writer.WriteLine("Content-Type: application/octet-stream;");
    WriteLines(writer, NameParameterLines(name, charset));
    writer.WriteLine("Content-Transfer-Encoding: base64");
    writer.WriteLine("Content-Disposition: attachment;");
    WriteLines(writer, FilenameParameterLines(name, charset));
    writer.WriteLine("");
    WriteBase64File(writer, file.Get(), attachment);
}

// The lines of a text body in its transfer encoding, dot-stuffed.
void WriteTextLines(LineWriter& writer, const BodyText& lines, const TextBodyForm& form) {
    for (std::string_view line : lines) {
        if (form.Encoding != TransferEncoding::QuotedPrintable) {
            WriteBodyLine(writer, line);
            continue;
        }
        for (const std::string& encoded : QuotedPrintableLines(line)) WriteBodyLine(writer, encoded);
    }
}

// The plain body as it is sent: with the Japanese flag, converted to ISO-2022-JP.
BodyText ConvertedLines(const BodyText& lines) {
    std::vector<std::string> converted;
    for (std::string_view line : lines) converted.push_back(ShiftJisToIso2022Jp(line));
    return BodyText::FromLines(converted);
}

void WritePlain(const BodyText& lines, const TextBodyForm& form, LineWriter& writer) {
    writer.WriteLine("");
    WriteTextLines(writer, lines, form);
    writer.WriteLine("");
}

void WriteMultipart(const OutgoingMessage& message, LineWriter& writer, const RenderContext& context) {
    const std::string delimiter = "--" + context.Boundary;
    writer.WriteLine("");
    writer.WriteLine(kPreamble);
    writer.WriteLine("");
    if (!IsBlankBody(message.Body)) {
        // The text part is not converted: its bytes stay in the charset they were written in.
        const TextBodyForm form =
            TextBodyFormOf(message.Body, message.Body, SourceCharsetName(context.Charset));
        writer.WriteLine(delimiter);
        writer.WriteLine("Content-Type: " + TextContentType(form));
        writer.WriteLine("Content-Transfer-Encoding: " + std::string(TransferEncodingName(form.Encoding)));
        writer.WriteLine("");
        WriteTextLines(writer, message.Body, form);
        writer.WriteLine("");
    }
    for (const MessageAttachment& attachment : message.Attachments) {
        writer.WriteLine(delimiter);
        WriteAttachmentPart(writer, attachment, context.Charset);
        writer.WriteLine("");
    }
    writer.WriteLine(delimiter + "--");
    writer.WriteLine("");
}

// TextPartHoldsDelimiter - a line of the text part, as it will be written, begins with "--" and
// boundary.
bool TextPartHoldsDelimiter(const OutgoingMessage& message, const HeaderCharset& charset,
                            const std::string& boundary) {
    const std::string delimiter = "--" + boundary;
    const TextBodyForm form = TextBodyFormOf(message.Body, message.Body, SourceCharsetName(charset));
    // Quoted-printable writes the boundary's "=" as "=3D": such a text cannot hold it.
    if (form.Encoding == TransferEncoding::QuotedPrintable) return false;
    for (std::string_view line : message.Body) {
        if (line.starts_with(delimiter)) return true;
    }
    return false;
}

std::string RandomBoundary() {
    static std::mt19937_64 source{std::random_device{}()};
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    return MakeMimeBoundary([&] { return uniform(source); });
}

// BoundaryFor - the process's boundary, unless a line of the text part would read as one of its
// delimiters (a text that knows the boundary could forge parts of its own): then a fresh one that
// no line begins with.
std::string BoundaryFor(const OutgoingMessage& message, const RenderContext& context) {
    std::string boundary = context.Boundary;
    while (TextPartHoldsDelimiter(message, context.Charset, boundary)) boundary = RandomBoundary();
    return boundary;
}

}  // namespace

std::string FormatMailDate(const std::tm& t, long gmtOffsetSeconds) {
    const long offset = gmtOffsetSeconds < 0 ? -gmtOffsetSeconds : gmtOffsetSeconds;
    char text[64];
    std::snprintf(text, sizeof text, "%s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  kDayNames[((t.tm_wday % 7) + 7) % 7], t.tm_mday, kMonthNames[((t.tm_mon % 12) + 12) % 12],
                  t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec, gmtOffsetSeconds < 0 ? '-' : '+',
                  offset / 3600, offset % 3600 / 60);
    return text;
}

std::string MakeMimeBoundary(const std::function<double()>& draw) {
    static constexpr std::string_view kSymbols =
        "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::string boundary;
    for (std::size_t i = 0; i < kBoundaryLength; ++i) {
        const auto v = static_cast<std::size_t>(std::floor(61 * draw() + 1.5));  // 1..62
        boundary += kSymbols[v - 1];
    }
    const auto q = static_cast<std::size_t>(std::floor(32 * draw() + 1.5));  // 1..33
    boundary[q - 1] = '=';
    boundary[q] = '_';
    return boundary;
}

const std::string& MimeBoundary() {
    static const std::string boundary = [] {
        std::mt19937_64 source(
            static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()));
        std::uniform_real_distribution<double> uniform(0.0, 1.0);
        return MakeMimeBoundary([&] { return uniform(source); });
    }();
    return boundary;
}

RenderContext CurrentRenderContext() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    return {MimeBoundary(), FormatMailDate(local, local.tm_gmtoff), ProcessHeaderCharset()};
}

void RenderMessage(const OutgoingMessage& message, LineWriter& writer, const RenderContext& processContext) {
    const Shape shape = ShapeOf(message);
    RenderContext context = processContext;
    if (shape == Shape::Multipart) context.Boundary = BoundaryFor(message, processContext);
    // The plain body's form decides its headers, so it is known before the header block.
    BodyText converted;
    if (shape == Shape::Plain && context.Charset.JapaneseConversion) converted = ConvertedLines(message.Body);
    const BodyText& plainLines = context.Charset.JapaneseConversion ? converted : message.Body;
    const TextBodyForm plainForm = shape == Shape::Plain
                                       ? TextBodyFormOf(message.Body, plainLines, context.Charset.Name)
                                       : TextBodyForm{};

    WriteLines(writer, HeaderBlock(message, shape, context, plainForm));
    switch (shape) {
    case Shape::Plain:
        WritePlain(plainLines, plainForm, writer);
        break;
    case Shape::SingleAttachment:
        WriteAttachmentPart(writer, message.Attachments.front(), context.Charset);
        writer.WriteLine("");
        break;
    case Shape::Multipart:
        WriteMultipart(message, writer, context);
        break;
    }
}

void RenderMessage(const OutgoingMessage& message, LineWriter& writer) {
    RenderMessage(message, writer, CurrentRenderContext());
}

}  // namespace tessel::mime
