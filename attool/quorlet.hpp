// SPDX-License-Identifier: MIT
// The AT tool's byte handling: the command line on its way to the device,
// and the answer line picked out of what came back. No I/O here; both work
// in place on the tool's buffer, bounded by the length they are given.
#pragma once

#include <cstddef>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

// Turns the line read from standard input into the form the device takes:
// the line must end in its one LF, and that LF becomes the CR that ends an
// AT command. A CR just before the LF already ends it, so the LF is simply
// dropped. `line` is the buffer the line was read into; its text ends at
// the first NUL (or at the end of the buffer), so a NUL before the LF hides
// the LF and the line is refused, as is a line that filled the buffer
// before its LF came. Returns 1 when the line is accepted and has been
// changed in place, 0 when it is refused.
inline int tr_lf_cr(std::span<char> line)
{
	char *text = line.data();
	const void *nul = std::memchr(text, '\0', line.size());
	const std::size_t len = nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - text) : line.size();
	char *lf = static_cast<char *>(std::memchr(text, '\n', len));
	if (!lf || lf != text + len - 1)
		return 0;
	if (lf != text && lf[-1] == '\r')
		*lf = '\0';
	else
		*lf = '\r';
	return 1;
}

// The line that starts after the first LF of `reply` and ends with the next
// LF, that LF included; nothing when `reply` holds fewer than two LF.
inline std::optional<std::string_view> line_after_first_lf(std::string_view reply)
{
	const std::size_t first = reply.find('\n');
	if (first == std::string_view::npos)
		return std::nullopt;
	const std::size_t end = reply.find('\n', first + 1);
	if (end == std::string_view::npos)
		return std::nullopt;
	return std::string_view(reply.data() + first + 1, end - first);
}

// Picks the answer line out of the bytes received. The first '>' (the
// device's prompt) ends the reply; what follows it is never looked at. The
// device echoes the command on the first line, so the answer is the line
// after the first LF, printed exactly as it came.
//
// A port whose ICRNL was cleared (by another program) hands over the CR
// that ends each of the device's lines as it came, and a device that ends
// its lines with CR alone then leaves fewer than two LF before the prompt.
// The reply is then read as the port would have delivered it with ICRNL
// set: every CR before the prompt becomes LF, in place, and the same rule
// picks the line, which so ends in LF.
//
// Returns a view into `received`, or nothing when there is no prompt or
// fewer than two line ends before it. `received` may hold NUL bytes.
inline std::optional<std::string_view> find_reply_line(std::span<char> received)
{
	char *bytes = received.data();
	const void *prompt = std::memchr(bytes, '>', received.size());
	if (!prompt)
		return std::nullopt;
	const auto len = static_cast<std::size_t>(static_cast<const char *>(prompt) - bytes);
	const std::string_view reply(bytes, len);
	if (auto line = line_after_first_lf(reply))
		return line;
	for (std::size_t i = 0; i < len; ++i)
		if (bytes[i] == '\r')
			bytes[i] = '\n';
	return line_after_first_lf(reply);
}
