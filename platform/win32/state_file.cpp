/*
 * The machine as a text file, one record a line. Texts are quoted with
 * C-style escapes so registry data of any bytes survives the trip, and the
 * file stays readable when a test fails.
 */
#include "host/machine.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace w32 {

namespace {

std::string quote(std::string_view text)
{
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7E) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            quoted += escape;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

/* Splits one line into words and quoted texts. */
std::vector<std::string> tokens(const std::string &line)
{
    std::vector<std::string> out;
    size_t at = 0;
    while (at < line.size()) {
        if (line[at] == ' ') {
            ++at;
        } else if (line[at] == '"') {
            std::string text;
            for (++at; at < line.size() && line[at] != '"'; ++at) {
                if (line[at] != '\\') {
                    text += line[at];
                } else if (at + 1 < line.size() && line[at + 1] == 'x' && at + 3 < line.size()) {
                    text += static_cast<char>(std::stoi(line.substr(at + 2, 2), nullptr, 16));
                    at += 3;
                } else if (at + 1 < line.size()) {
                    text += line[++at];
                }
            }
            if (at >= line.size())
                throw std::runtime_error("unterminated text in machine state: " + line);
            ++at;
            out.push_back(text);
        } else {
            size_t end = line.find(' ', at);
            if (end == std::string::npos)
                end = line.size();
            out.push_back(line.substr(at, end - at));
            at = end;
        }
    }
    return out;
}

DWORD number(const std::string &text)
{
    return static_cast<DWORD>(std::stoul(text, nullptr, 0));
}

void expect(const std::vector<std::string> &t, size_t count, const std::string &line)
{
    if (t.size() != count)
        throw std::runtime_error("malformed machine state line: " + line);
}

} // namespace

void writeStateFile(const Machine &m, const std::string &path)
{
    std::ostringstream out;
    out << "platform " << m.platformId << "\n";
    out << "nextDriverKey " << m.nextDriverKey << "\n";
    if (m.currentDirectory)
        out << "cwd " << quote(*m.currentDirectory) << "\n";
    for (const auto &[letter, folder] : m.drives)
        out << "drive " << letter << " " << quote(folder) << "\n";
    if (m.localAllocLimit)
        out << "allocLimit " << *m.localAllocLimit << "\n";
    for (const auto &[call, error] : m.failingCalls)
        out << "fail " << call << " " << error << "\n";
    for (const auto &[folded, key] : m.keys) {
        out << "key " << quote(key.path) << "\n";
        for (const RegistryValue &v : key.values)
            out << "value " << quote(key.path) << " " << quote(v.name) << " " << v.type << " " << quote(v.data)
                << "\n";
    }
    for (const std::string &key : m.uncreatableKeys)
        out << "uncreatable " << quote(key) << "\n";
    for (const Device &d : m.devices)
        out << "device " << quote(d.instanceId) << " " << quote(d.classGuid) << " " << (d.present ? 1 : 0) << " "
            << (d.hardwareIds ? 1 : 0) << " " << quote(d.hardwareIds.value_or("")) << " " << quote(d.driverKey)
            << " " << d.propertyError << " " << d.removeError << " " << (d.classGuidProperty ? 1 : 0) << " "
            << quote(d.classGuidProperty.value_or("")) << "\n";
    for (const std::string &event : m.journal)
        out << "journal " << quote(event) << "\n";

    /* Written whole and renamed, so a reader never meets half a machine. */
    std::string temporary = path + ".new";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << out.str();
        if (!file.flush())
            throw std::runtime_error("cannot write machine state " + temporary);
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot replace machine state " + path);
}

Machine readStateFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error("cannot read machine state " + path);
    Machine m;
    std::string line;
    while (std::getline(file, line)) {
        std::vector<std::string> t = tokens(line);
        if (t.empty())
            continue;
        const std::string &kind = t[0];
        if (kind == "platform") {
            expect(t, 2, line);
            m.platformId = number(t[1]);
        } else if (kind == "nextDriverKey") {
            expect(t, 2, line);
            m.nextDriverKey = number(t[1]);
        } else if (kind == "cwd") {
            expect(t, 2, line);
            m.currentDirectory = t[1];
        } else if (kind == "drive") {
            expect(t, 3, line);
            m.drives[t[1].at(0)] = t[2];
        } else if (kind == "allocLimit") {
            expect(t, 2, line);
            m.localAllocLimit = std::stoull(t[1]);
        } else if (kind == "fail") {
            expect(t, 3, line);
            m.failingCalls[t[1]] = number(t[2]);
        } else if (kind == "key") {
            expect(t, 2, line);
            createKey(m, t[1]);
        } else if (kind == "value") {
            expect(t, 5, line);
            setValue(m, t[1], t[2], number(t[3]), t[4]);
        } else if (kind == "uncreatable") {
            expect(t, 2, line);
            m.uncreatableKeys.insert(fold(normalizeKeyPath(t[1])));
        } else if (kind == "device") {
            expect(t, 11, line);
            Device d;
            d.instanceId = t[1];
            d.classGuid = t[2];
            d.present = t[3] == "1";
            if (t[4] == "1")
                d.hardwareIds = t[5];
            d.driverKey = t[6];
            d.propertyError = number(t[7]);
            d.removeError = number(t[8]);
            if (t[9] == "1")
                d.classGuidProperty = t[10];
            m.devices.push_back(std::move(d));
        } else if (kind == "journal") {
            expect(t, 2, line);
            m.journal.push_back(t[1]);
        } else {
            throw std::runtime_error("unknown machine state record: " + line);
        }
    }
    return m;
}

} // namespace w32
