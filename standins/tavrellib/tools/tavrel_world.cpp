// tavrel-world: writes and shows worlds and key files of the stand-in signature
// library, for tests and demonstrations. Errors go to standard error.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "cp1251.h"
#include "crypto.h"
#include "world.h"

using namespace tavrel_standin;

namespace {

const char usage_text[] =
    "usage: tavrel-world init PATH\n"
    "       tavrel-world empty PATH\n"
    "       tavrel-world add-type PATH NAME\n"
    "       tavrel-world add-type-hex PATH CP1251-HEX\n"
    "       tavrel-world add-device PATH TYPE-INDEX SERIAL PASSWORD key|no-key [NOT-BEFORE [NOT-AFTER]]\n"
    "       tavrel-world keyfile PATH PASSWORD [NOT-BEFORE [NOT-AFTER]]\n"
    "       tavrel-world show PATH\n"
    "times look like 2021-03-01T08:05:09 (UTC)\n";

struct usage_error {};

world read_existing(const std::string &path) {
    bytes text;
    if (read_regular_file(path, &text) != file_read::ok) throw world_error(path + ": cannot be read");
    bool generated = false;
    return parse_world(std::string(text.begin(), text.end()), &generated);
}

validity parse_validity(const std::vector<std::string> &args, size_t first) {
    validity v{};
    if (!parse_time(args[first], &v.not_before)) throw world_error("not a time: " + args[first]);
    v.not_after = v.not_before + 730L * 24 * 3600;
    if (args.size() > first + 1 && !parse_time(args[first + 1], &v.not_after))
        throw world_error("not a time: " + args[first + 1]);
    if (v.not_after <= v.not_before) throw world_error("NOT-AFTER is not after NOT-BEFORE");
    return v;
}

void add_type(const std::string &path, std::string cp1251_name) {
    world w = read_existing(path);
    media_type t;
    t.name = std::move(cp1251_name);
    w.types.push_back(std::move(t));
    // Re-read what was written, so that a name the world file refuses is refused here.
    std::string json = world_to_json(w);
    bool generated = false;
    parse_world(json, &generated);
    save_world(path, w);
}

int run(const std::vector<std::string> &args) {
    if (args.empty()) throw usage_error();
    const std::string &command = args[0];
    size_t n = args.size();
    if (command == "init" && n == 2) {
        save_world(args[1], default_world());
    } else if (command == "empty" && n == 2) {
        save_world(args[1], world{});
    } else if (command == "add-type" && n == 3) {
        std::string name;
        if (!utf8_to_cp1251(args[2], &name)) throw world_error("the name has characters outside Windows-1251");
        add_type(args[1], name);
    } else if (command == "add-type-hex" && n == 3) {
        std::string name;
        if (!from_hex(args[2], &name)) throw world_error("CP1251-HEX is not pairs of hexadecimal digits");
        add_type(args[1], name);
    } else if (command == "add-device" && n >= 6 && n <= 8) {
        world w = read_existing(args[1]);
        size_t type = std::stoul(args[2]);
        if (type >= w.types.size()) throw world_error("no type at index " + args[2]);
        if (args[5] != "key" && args[5] != "no-key") throw usage_error();
        device d;
        d.serial = args[3];
        d.password = args[4];
        if (d.serial.empty() || d.serial.size() > world_max_text) throw world_error("SERIAL must have 1 to 256 bytes");
        if (d.password.size() > world_max_password) throw world_error("PASSWORD is longer than 64 bytes");
        if (n >= 7) d.key_validity = parse_validity(args, 6);
        if (args[5] == "key") d.key = make_device_key(d);
        w.types[type].devices.push_back(std::move(d));
        save_world(args[1], w);
    } else if (command == "keyfile" && n >= 3 && n <= 5) {
        device d;
        d.serial = "файл ключа";
        if (n >= 4) d.key_validity = parse_validity(args, 3);
        material_ptr material = material_from_pem(make_device_key(d));
        bytes der = make_pkcs12(*material, args[2]);
        std::ofstream out(args[1], std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(der.data()), std::streamsize(der.size()));
        if (!out.flush()) throw world_error(args[1] + ": cannot be written");
    } else if (command == "show" && n == 2) {
        world w = read_existing(args[1]);
        for (size_t i = 0; i < w.types.size(); ++i) {
            std::string name;
            if (!cp1251_to_utf8(w.types[i].name, &name)) name = "(not Windows-1251)";
            std::cout << "type " << i << ": " << name << "\n";
            for (size_t j = 0; j < w.types[i].devices.size(); ++j) {
                const device &d = w.types[i].devices[j];
                std::cout << "  device " << j << ": serial " << d.serial << ", password " << d.password;
                if (d.key) {
                    const certificate_texts t = material_from_pem(*d.key)->description;
                    char times[80];
                    std::snprintf(times, sizeof times, "%04d-%02d-%02dT%02d:%02d:%02d", t.not_before.tm_year + 1900,
                                  t.not_before.tm_mon + 1, t.not_before.tm_mday, t.not_before.tm_hour,
                                  t.not_before.tm_min, t.not_before.tm_sec);
                    std::cout << ", key (certificate " << t.serial << " from " << times << ")\n";
                } else {
                    std::cout << ", no key\n";
                }
            }
        }
    } else {
        throw usage_error();
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        return run(args);
    } catch (const usage_error &) {
        std::cerr << usage_text;
        return 2;
    } catch (const std::exception &e) {
        std::cerr << "tavrel-world: " << e.what() << "\n";
        return 1;
    }
}
