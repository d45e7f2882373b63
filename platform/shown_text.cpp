#include "platform/shown_text.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#ifndef _WIN32
#include <iconv.h>
#endif

namespace platform {
namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when there is none
// (overlong forms, surrogates and values above U+10FFFF are not valid).
std::size_t utf8_sequence(const std::string& s, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    if (c < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0)
            low = 0xA0;
        else if (c == 0xED)
            high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0)
            low = 0x90;
        else if (c == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > s.size())
        return 0;
    if (byte(i + 1) < low || byte(i + 1) > high)
        return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF)
            return 0;
    }
    return length;
}

bool valid_utf8(const std::string& s)
{
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8_sequence(s, i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

void append_latin1(std::string& out, unsigned char c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
        return;
    }
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
}

// Strict CP932 decoding; false when any byte sequence is not CP932.
bool decode_cp932(const std::string& bytes, std::string& text)
{
#ifdef _WIN32
    (void)bytes;
    (void)text;
    return false;
#else
    const iconv_t cd = ::iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    const std::unique_ptr<void, int (*)(iconv_t)> closer(cd, &::iconv_close);
    std::string in = bytes;
    std::vector<char> out(bytes.size() * 3 + 4);
    char* in_ptr = in.data();
    std::size_t in_left = in.size();
    char* out_ptr = out.data();
    std::size_t out_left = out.size();
    if (::iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<std::size_t>(-1) ||
        in_left != 0)
        return false;
    text.assign(out.data(), out.size() - out_left);
    return true;
#endif
}

} // namespace

std::string shown_name(const std::string& bytes)
{
    if (valid_utf8(bytes))
        return bytes;
    std::string text;
    if (decode_cp932(bytes, text))
        return text;
    text.clear();
    for (const char c : bytes)
        append_latin1(text, static_cast<unsigned char>(c));
    return text;
}

std::string shown_text(const std::string& bytes)
{
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        if (const std::size_t n = utf8_sequence(bytes, i); n != 0) {
            text.append(bytes, i, n);
            i += n;
        } else {
            append_latin1(text, static_cast<unsigned char>(bytes[i]));
            ++i;
        }
    }
    return text;
}

std::string system_error_reason(int error)
{
    switch (error) {
    case ENOSPC:
        return "ディスクの空きがありません";
#ifdef EDQUOT
    case EDQUOT:
        return "ディスクの使用量が上限に達しています";
#endif
    case EACCES:
    case EPERM:
        return "アクセスが拒否されました";
    case EROFS:
        return "読み取り専用のドライブです";
    case ENAMETOOLONG:
        return "名前が長すぎます";
    case EISDIR:
        return "フォルダです";
    case ENOTDIR:
        return "途中にフォルダでないものがあります";
    case ENOENT:
        return "ファイルがありません";
    case EEXIST:
        return "同じ名前のものがあります";
    case EFBIG:
        return "ファイルが大きすぎます";
    case ENOMEM:
        return "メモリが足りません";
    case EIO:
        return "入出力エラーが起きました";
    case EINVAL:
        return "通常のファイルではありません";
#ifdef ELOOP
    case ELOOP:
        return "シンボリックリンクが循環しています";
#endif
    case EBUSY:
    case ETXTBSY:
        return "使用中です";
    default:
        break;
    }
    return std::string("エラー ") + std::to_string(error) + " (" + std::strerror(error) + ")";
}

} // namespace platform
