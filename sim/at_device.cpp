// SPDX-License-Identifier: MIT
#include "sim/at_device.hpp"

#include <array>
#include <cctype>

namespace {

constexpr std::string_view banner = "ELM327 v1.5";
constexpr std::string_view description = "OBDII to RS232 Interpreter";
constexpr std::string_view protocol = "AUTO, ISO 15765-4 (CAN 11/500)";
// The supply voltage drifts a little from one reading to the next.
constexpr std::array<std::string_view, 5> voltages{"12.6V", "12.5V", "12.7V", "12.6V", "12.4V"};
// A command longer than this is noise; the rest of it is not kept.
constexpr std::size_t max_command = 128;

// Settings the device accepts with a plain OK. E0/E1 and L0/L1 are handled
// on their own, as they change what the device sends.
bool known_setting(std::string_view c)
{
	static constexpr std::string_view exact[] = {"AT",    "ATD",   "ATH0",  "ATH1",   "ATS0",   "ATS1",
						     "ATM0",  "ATM1",  "ATAT0", "ATAT1",  "ATAT2",  "ATCAF0",
						     "ATCAF1", "ATWS", "ATPC"};
	for (auto e : exact)
		if (c == e)
			return true;
	auto hex_tail = [&](std::string_view prefix, std::size_t digits) {
		if (c.size() != prefix.size() + digits || c.substr(0, prefix.size()) != prefix)
			return false;
		for (char d : c.substr(prefix.size()))
			if (!std::isxdigit(static_cast<unsigned char>(d)))
				return false;
		return true;
	};
	return hex_tail("ATSP", 1) || hex_tail("ATTP", 1) || hex_tail("ATST", 2);
}

// An OBD request: pairs of hex digits, the mode first.
bool obd_request(std::string_view c)
{
	if (c.size() < 2 || c.size() % 2 != 0)
		return false;
	for (char d : c)
		if (!std::isxdigit(static_cast<unsigned char>(d)))
			return false;
	return true;
}

std::string_view obd_data(std::string_view request)
{
	static const struct {
		std::string_view request, data;
	} table[] = {{"0100", "41 00 BE 3F A8 13"},
		     {"010C", "41 0C 1A F8"},
		     {"010D", "41 0D 00"},
		     {"0105", "41 05 7B"}};
	for (const auto &t : table)
		if (request == t.request)
			return t.data;
	return "NO DATA";
}

void add(at_answer &answer, int delay_ms, std::string bytes, bool deaf = false)
{
	answer.push_back({delay_ms, std::move(bytes), deaf});
}

} // namespace

bool at_fault_from_name(std::string_view name, at_fault &fault)
{
	static const struct {
		std::string_view name;
		at_fault fault{};
	} names[] = {{"none", at_fault::none},       {"no-prompt", at_fault::no_prompt},
		     {"split", at_fault::split},     {"trailer", at_fault::trailer},
		     {"nul", at_fault::nul},         {"flood", at_fault::flood},
		     {"padded", at_fault::padded}};
	for (const auto &n : names)
		if (name == n.name) {
			fault = n.fault;
			return true;
		}
	return false;
}

at_device::at_device(const at_device_config &config)
    : config_(config), echo_(config.echo), linefeeds_(config.linefeeds)
{
}

std::size_t at_device::feed(std::string_view bytes, at_answer &answer)
{
	answer.clear();
	for (std::size_t i = 0; i < bytes.size(); ++i) {
		const auto c = static_cast<unsigned char>(bytes[i]);
		if (c == '\r') {
			std::string command = std::move(typed_);
			std::string echoed = std::move(echoed_);
			typed_.clear();
			echoed_.clear();
			if (command.empty())
				command = last_;
			else
				last_ = command;
			answer = run(command, echoed);
			return i + 1;
		}
		if (c < 0x20 || c == 0x7f || echoed_.size() >= max_command)
			continue;
		echoed_ += static_cast<char>(c);
		if (c != ' ')
			typed_ += static_cast<char>(std::toupper(c));
	}
	return bytes.size();
}

std::string at_device::text(std::string_view with_cr) const
{
	std::string out;
	for (char c : with_cr) {
		out += c;
		if (c == '\r' && linefeeds_)
			out += '\n';
	}
	return out;
}

at_answer at_device::run(const std::string &command, const std::string &echoed)
{
	++commands_;
	at_answer answer;
	// The echo goes out as the command is typed, before any answer.
	if (echo_)
		add(answer, 0, text(echoed + "\r"));
	const int delay = config_.answer_delay_ms;
	auto reply = [&](std::string_view line) { add(answer, delay, text(std::string(line) + "\r\r>")); };
	// ATE/ATL: the setting to change once this answer is complete.
	bool *setting = nullptr;
	bool setting_value = false;

	if (command == "ATZ") {
		// Restarting, the device hears nothing until its banner is out.
		echo_ = config_.echo;
		linefeeds_ = config_.linefeeds;
		connected_ = false;
		add(answer, config_.reset_ms, text("\r\r" + std::string(banner) + "\r\r>"), true);
	} else if (command == "ATI") {
		reply(banner);
	} else if (command == "AT@1") {
		reply(description);
	} else if (command == "ATRV") {
		reply(voltages[voltage_index_++ % voltages.size()]);
	} else if (command == "ATDP") {
		reply(protocol);
	} else if (command == "ATE0" || command == "ATE1" || command == "ATL0" || command == "ATL1") {
		// The new setting holds from the next command on; the faults
		// still shape this answer with the line ends it was made with.
		reply("OK");
		setting = command[2] == 'E' ? &echo_ : &linefeeds_;
		setting_value = command[3] == '1';
	} else if (known_setting(command)) {
		reply("OK");
	} else if (obd_request(command)) {
		if (connected_) {
			reply(obd_data(command));
		} else {
			// The first request after a reset looks for the vehicle's bus.
			add(answer, delay, text("SEARCHING...\r"));
			connected_ = config_.vehicle;
			add(answer, config_.search_ms,
			    text(std::string(connected_ ? obd_data(command) : "UNABLE TO CONNECT") + "\r\r>"));
		}
	} else {
		reply("?");
	}
	at_answer shaped = finish(std::move(answer));
	if (setting)
		*setting = setting_value;
	return shaped;
}

at_answer at_device::interrupted() const
{
	at_answer answer;
	add(answer, 0, text("STOPPED\r\r>"));
	return finish(std::move(answer));
}

at_answer at_device::finish(at_answer answer) const
{
	auto whole = [&] {
		std::string all;
		int delay = 0;
		for (const auto &p : answer) {
			all += p.bytes;
			delay += p.delay_ms;
		}
		return at_piece{delay, all, false};
	};

	switch (config_.fault) {
	case at_fault::none:
		break;
	case at_fault::no_prompt:
		for (auto &p : answer)
			std::erase(p.bytes, '>');
		break;
	case at_fault::split: {
		at_answer lines;
		for (const auto &p : answer) {
			int delay = p.delay_ms;
			std::size_t from = 0;
			while (from < p.bytes.size()) {
				std::size_t end = p.bytes.find('\r', from);
				end = end == std::string::npos ? p.bytes.size() : end + 1;
				if (end < p.bytes.size() && p.bytes[end] == '\n')
					++end;
				if (end == p.bytes.size() - 1 && p.bytes[end] == '>')
					++end; // the prompt stays with the empty line before it
				add(lines, lines.empty() ? delay : delay + config_.split_gap_ms,
				    p.bytes.substr(from, end - from), p.deaf);
				delay = 0;
				from = end;
			}
		}
		answer = std::move(lines);
		break;
	}
	case at_fault::trailer:
		if (!answer.empty())
			answer.back().bytes += text("\rLATE\r");
		break;
	case at_fault::nul:
		if (!answer.empty())
			answer.front().bytes.insert(0, 1, '\0');
		break;
	case at_fault::flood: {
		std::string junk;
		while (junk.size() < 300)
			junk += text("0123456789ABCDEFGHIJKLMNOPQRS\r");
		junk.resize(300);
		answer = {at_piece{whole().delay_ms, junk, false}};
		break;
	}
	case at_fault::padded: {
		// Filler on a line of its own just before the empty line that
		// ends the answer, so the answer line itself is unchanged.
		at_piece all = whole();
		const std::string tail = text("\r") + ">";
		if (all.bytes.size() >= tail.size() && all.bytes.ends_with(tail)) {
			all.bytes.resize(all.bytes.size() - tail.size());
			const std::size_t want = config_.prompt_at > 0 ? config_.prompt_at - 1 : 0;
			if (all.bytes.size() + tail.size() - 1 < want)
				all.bytes.append(want - (all.bytes.size() + tail.size() - 1), '.');
			all.bytes += tail;
		}
		answer = {all};
		break;
	}
	}

	// Empty pieces (an echo that is off) pass their delay on.
	at_answer out;
	int carried = 0;
	for (auto &p : answer) {
		if (p.bytes.empty()) {
			carried += p.delay_ms;
			continue;
		}
		p.delay_ms += carried;
		carried = 0;
		out.push_back(std::move(p));
	}
	return out;
}
