// SPDX-License-Identifier: MIT
// A simulated AT-command interface of the ELM327 kind, as far as a program
// on the serial line can see it.
//
// A command ends at CR; LF and other control bytes are ignored, letters are
// case-insensitive and blanks are skipped; a lone CR repeats the last
// command. The command is echoed (after reset) and every answer ends with
// an empty line and the prompt: "ATI\rELM327 v1.5\r\r>". After ATL1 each CR
// the device sends is followed by LF.
//
// The device knows nothing of time: an answer comes back as pieces, each
// due a delay after the one before, and the serve loop sends them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class at_fault : std::uint8_t {
	none,
	no_prompt, // answers, but never ends with '>'
	split,     // each line of an answer comes a gap after the one before
	trailer,   // more text follows the prompt
	nul,       // a stray NUL byte before every answer (as some clones send)
	flood,     // 300 bytes of text and no prompt instead of each answer
	padded,    // each answer padded so that its prompt is byte `prompt_at`
};

// Parses "none", "no-prompt", "split", "trailer", "nul", "flood",
// "padded"; false if unknown.
bool at_fault_from_name(std::string_view name, at_fault &fault);

struct at_device_config {
	bool echo = true;       // state at power-on; ATZ restores these two
	bool linefeeds = false;
	bool vehicle = true;    // false: OBD requests find no vehicle
	int answer_delay_ms = 0;   // from the command's CR to the answer
	int reset_ms = 700;        // ATZ: from the CR to the banner
	int search_ms = 2000;      // the first OBD request: looking for the bus
	at_fault fault = at_fault::none;
	int split_gap_ms = 1500;
	std::size_t prompt_at = 255; // `padded`: 1-based position of the '>'
};

struct at_piece {
	int delay_ms = 0; // after the piece before, or after the command's CR
	std::string bytes;
	// Bytes received during this piece's delay are lost (a reset is under
	// way) rather than interrupting the answer.
	bool deaf = false;
};

using at_answer = std::vector<at_piece>;

class at_device {
public:
	explicit at_device(const at_device_config &config);

	// Takes bytes off the line up to and including the first CR, and
	// returns how many it took. When they ended a command, `answer` gets
	// the pieces of its answer (echo first); otherwise it is left empty.
	std::size_t feed(std::string_view bytes, at_answer &answer);

	// The answer when a byte arrives while an answer is still under way:
	// the rest of that answer is dropped and the device says STOPPED.
	at_answer interrupted() const;

	bool echo() const { return echo_; }
	bool linefeeds() const { return linefeeds_; }
	int commands() const { return commands_; }

private:
	at_answer run(const std::string &command, const std::string &echoed);
	at_answer finish(at_answer answer) const;
	std::string text(std::string_view with_cr) const;

	at_device_config config_;
	bool echo_;
	bool linefeeds_;
	bool connected_ = false;
	int commands_ = 0;
	unsigned voltage_index_ = 0;
	std::string typed_;   // the command so far, as it will be run
	std::string echoed_;  // the same, as it is echoed
	std::string last_;    // for a lone CR
};
