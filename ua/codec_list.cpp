#include "ua/codec_list.h"

#include <algorithm>
#include <climits>

std::vector<int> codec_list_parse(const std::string& text)
{
    std::vector<int> out;
    size_t i = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        long v = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            if (v < INT_MAX)  // saturate: a huge number is no code and no payload
                v = std::min<long>(INT_MAX, v * 10 + (text[i] - '0'));
            i++;
        }
        out.push_back(int(v));
        if (i < text.size())
            i++;  // exactly one separator
    }
    return out;
}

codec_list_options_t codec_list_options(const std::vector<int>& numbers)
{
    codec_list_options_t o;
    for (int n : numbers) {
        if (n == CODEC_LIST_CN)
            o.cn = true;
        else if (n == CODEC_LIST_T38)
            o.t38 = true;
        else if (n == CODEC_LIST_SRTP) {
            o.srtp = true;
            o.srtp_required = false;
        } else if (n == CODEC_LIST_SRTP_REQUIRED) {
            o.srtp = true;
            o.srtp_required = true;
        } else if (n >= CODEC_LIST_PTIME && n < CODEC_LIST_PTIME + 256)
            o.ptime = (n - CODEC_LIST_PTIME) * 5;
        else if (n >= CODEC_LIST_INTERLEAVE && n < CODEC_LIST_INTERLEAVE + 8)
            o.interleave = n - CODEC_LIST_INTERLEAVE;
    }
    return o;
}

bool codec_list_has(const std::vector<int>& numbers, int value)
{
    return std::find(numbers.begin(), numbers.end(), value) != numbers.end();
}
