# Writes OUT: a C++ file holding each of FILES (in DIR) as a string, found
# by name through tovix::server::web_file().
set(text "// Generated from server/web/ by embed.cmake.\n#include \"web/pages.h\"\n#include <map>\n\nnamespace tovix::server {\n\nconst std::string* web_file(const std::string& name) {\n    static const std::map<std::string, std::string> files = {\n")
string(REPLACE "," ";" FILES "${FILES}")
foreach(name IN LISTS FILES)
    file(READ "${DIR}/${name}" content)
    string(APPEND text "        {\"${name}\", R\"tovix_web(${content})tovix_web\"},\n")
endforeach()
string(APPEND text "    };\n    auto found = files.find(name);\n    return found == files.end() ? nullptr : &found->second;\n}\n\n} // namespace tovix::server\n")
file(WRITE "${OUT}.tmp" "${text}")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
