// profiles.cpp - the JSON form of a configuration (the sections, keys and
// value kinds of global_conf.json, plus the read-only "device_info") and
// profiles: JSON of the same shape applied over a configuration.
#include "codec_internal.h"

namespace gwblock {

namespace {

using namespace detail;

// True when path names an object of the key tree ("SX1301_conf.radio_0").
bool is_section(const std::string &path) {
    const std::string prefix = path + ".";
    for (const KeyInfo &key : layout().keys)
        if (key.path.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

std::string join_path(const std::string &prefix, const std::string &name) {
    return prefix.empty() ? name : prefix + "." + name;
}

// Walks one JSON object, applying leaves through the key table.
bool apply_json_object(const Json::Value &obj, const std::string &prefix, BlockContents *bc,
                       std::string *error) {
    for (const std::string &name : obj.getMemberNames()) {
        const Json::Value &v = obj[name];
        const std::string path = join_path(prefix, name);
        if (prefix.empty() && name == "device_info") continue;  // read-only views
        const KeyInfo *key = find_key(path);
        if (v.isObject() && !key) {
            if (!is_section(path)) {
                set_error(error, "unknown section " + path);
                return false;
            }
            if (!apply_json_object(v, path, bc, error)) return false;
            continue;
        }
        if (!key) {
            set_error(error, "unknown key " + path);
            return false;
        }
        if (!key->writable) {
            set_error(error, path + " is read-only");
            return false;
        }
        if (!kind_ops(key->kind).from_json(v, *key, member_ptr(bc, *key), error)) return false;
    }
    return true;
}

}  // namespace

Json::Value to_json(const BlockContents &in) {
    Json::Value root(Json::objectValue);
    for (const KeyInfo &key : layout().keys) {
        // Walk/create the objects along the path.
        Json::Value *node = &root;
        size_t start = 0, dot;
        while ((dot = key.path.find('.', start)) != std::string::npos) {
            node = &(*node)[key.path.substr(start, dot - start)];
            start = dot + 1;
        }
        (*node)[key.path.substr(start)] = kind_ops(key.kind).to_json(member_ptr(in, key), key);
    }
    return root;
}

bool apply_json_profile(const Json::Value &profile, BlockContents *io, std::string *error) {
    if (!profile.isObject()) {
        set_error(error, "a profile is a JSON object with the sections of global_conf.json");
        return false;
    }
    BlockContents tmp = *io;
    if (!apply_json_object(profile, "", &tmp, error)) return false;
    *io = tmp;
    return true;
}

void merge_json_profile(Json::Value *base, const Json::Value &over) {
    if (!base->isObject() || !over.isObject()) {
        *base = over;
        return;
    }
    for (const std::string &name : over.getMemberNames()) {
        const Json::Value &v = over[name];
        if (v.isObject() && (*base)[name].isObject())
            merge_json_profile(&(*base)[name], v);
        else
            (*base)[name] = v;
    }
}

}  // namespace gwblock
