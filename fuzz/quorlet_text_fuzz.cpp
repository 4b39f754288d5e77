// SPDX-License-Identifier: MIT
// The AT tool's text handling: conditioning the command line, and picking
// the answer line out of the bytes received.
//
// The same input is used three ways: as a line in a buffer of exactly its
// size; as standard input read with fgets into the tool's 256-byte buffer;
// and as the bytes received from the device, again in a heap block of
// exactly their size, so that ASan catches any read past them.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "attool/quorlet.hpp"
#include "fuzz/fuzz_check.hpp"

namespace {

std::unique_ptr<char[]> exact_copy(const std::string &bytes)
{
	auto copy = std::make_unique<char[]>(bytes.size());
	std::memcpy(copy.get(), bytes.data(), bytes.size());
	return copy;
}

void check_line(const std::string &line)
{
	const std::size_t n = line.size();
	auto buf = exact_copy(line);
	const int accepted = tr_lf_cr(std::span<char>(buf.get(), n));

	// The text ends at the first NUL, or at the end of the buffer.
	const std::size_t len = std::min(line.find('\0'), n);
	const std::size_t lf = line.find('\n');
	const bool lf_last = lf != std::string::npos && lf + 1 == len;
	FUZZ_CHECK(accepted == (lf_last ? 1 : 0));
	if (!accepted) {
		FUZZ_CHECK(std::memcmp(buf.get(), line.data(), n) == 0);
		return;
	}
	// Accepted: ends in CR, holds no LF, and only the LF's byte changed.
	const std::string text(buf.get(), std::min<std::size_t>(strnlen(buf.get(), n), n));
	FUZZ_CHECK(!text.empty() && text.back() == '\r');
	FUZZ_CHECK(text.find('\n') == std::string::npos);
	const bool had_cr = lf > 0 && line[lf - 1] == '\r';
	FUZZ_CHECK(text == line.substr(0, lf) + (had_cr ? "" : "\r"));
	for (std::size_t i = 0; i < n; ++i)
		if (i != lf)
			FUZZ_CHECK(buf[i] == line[i]);
}

// Standard input read as the tool reads it: one fgets into 256 bytes. The
// line is accepted exactly when its LF comes within 255 bytes, with no NUL
// before it.
void check_stdin(const std::string &input)
{
	char buf[256];
	std::memset(buf, 'x', sizeof buf);
	std::string stream_bytes = input;
	FILE *in = fmemopen(stream_bytes.data(), stream_bytes.size(), "r");
	if (!in)
		return;
	if (!std::fgets(buf, sizeof buf, in))
		buf[0] = '\0';
	std::fclose(in);
	const int accepted = tr_lf_cr(buf);
	const std::size_t lf = input.find('\n');
	const bool want = lf != std::string::npos && lf < 255 && input.find('\0') > lf;
	FUZZ_CHECK(accepted == (want ? 1 : 0));
	if (accepted) {
		const std::size_t len = strnlen(buf, sizeof buf);
		FUZZ_CHECK(len > 0 && len < sizeof buf && buf[len - 1] == '\r');
		FUZZ_CHECK(std::memchr(buf, '\n', len) == nullptr);
	}
}

void check_reply(const std::string &received)
{
	const std::size_t n = received.size();
	auto buf = exact_copy(received);
	auto line = find_reply_line(std::span<char>(buf.get(), n));

	const std::size_t prompt = received.find('>');
	if (prompt == std::string::npos) {
		FUZZ_CHECK(!line);
		FUZZ_CHECK(std::memcmp(buf.get(), received.data(), n) == 0);
		return;
	}
	// Nothing from the prompt on is touched; before it, at most CR
	// became LF.
	FUZZ_CHECK(std::memcmp(buf.get() + prompt, received.data() + prompt, n - prompt) == 0);
	const std::string before = received.substr(0, prompt);
	const auto lfs = std::count(before.begin(), before.end(), '\n');
	const auto crs = std::count(before.begin(), before.end(), '\r');
	for (std::size_t i = 0; i < prompt; ++i)
		FUZZ_CHECK(buf[i] == received[i] || (lfs < 2 && received[i] == '\r' && buf[i] == '\n'));
	FUZZ_CHECK(line.has_value() == (lfs >= 2 || lfs + crs >= 2));
	if (!line)
		return;

	// The line lies inside the reply before the prompt, starts just after
	// its first line end and ends with the next one.
	const char *begin = buf.get();
	FUZZ_CHECK(line->data() > begin && line->data() + line->size() <= begin + prompt);
	FUZZ_CHECK(!line->empty() && line->back() == '\n');
	FUZZ_CHECK(std::count(line->begin(), line->end(), '\n') == 1);
	FUZZ_CHECK(line->find('>') == std::string_view::npos);
	const std::string_view reply(begin, prompt);
	FUZZ_CHECK(static_cast<std::size_t>(line->data() - begin) == reply.find('\n') + 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	const std::string bytes(reinterpret_cast<const char *>(data), size);
	check_line(bytes);
	check_stdin(bytes);
	check_reply(bytes);
	return 0;
}
