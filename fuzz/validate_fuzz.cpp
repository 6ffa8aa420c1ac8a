// The name and address validators on any text, each given a heap copy of
// exactly the text's size; the address checks rewrite valid texts in place
// and never lengthen them, and the notation converters stay within their
// output sizes.
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "slib_validate.h"

namespace {

std::unique_ptr<char[]> Copy(const std::string &s) {
    auto p = std::make_unique<char[]>(s.size() + 1);
    memcpy(p.get(), s.c_str(), s.size() + 1);
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    auto parts = qfuzz::Parts(data, size, 2);
    const std::string text = qfuzz::CText(parts[0]), other = qfuzz::CText(parts[1]);
    auto t = Copy(text);

    const int user = BlSLIBIsUserName(t.get()), group = BlSLIBIsGroupName(t.get()),
              share = BlSLIBIsShareName(t.get());
    // The group and share rules are the user rule with a shorter limit.
    QFUZZ_CHECK(!group || share);
    QFUZZ_CHECK(!share || user);
    BlSLIBIsWorkGroupName(t.get());
    if (BlSLIBIsIdentifier(t.get())) QFUZZ_CHECK(text.size() <= 15);
    BlSLIBIsMailAtom(t.get());
    BlSLIBIsMailDotAtom(t.get());
    if (BlSLIBIsMailAddress(t.get())) QFUZZ_CHECK(text.find('@') != std::string::npos);
    QFUZZ_CHECK(text == t.get());  // the name checks leave the text alone

    int quad[4];
    if (SLIBParseDottedQuad(t.get(), quad) == 4) SLIBNetmaskPrefix(quad);

    for (int (*check)(char *) : {BlSLIBIsIPAddress, BlSLIBIsNetmask}) {
        auto c = Copy(text);
        check(c.get());
        QFUZZ_CHECK(strlen(c.get()) <= text.size());
    }
    {
        auto a = Copy(text);
        BlSLIBIsNetworkAddress(a.get(), other.c_str());
        QFUZZ_CHECK(strlen(a.get()) <= text.size());
    }
    {
        auto c = Copy(text);
        auto out = std::make_unique<char[]>(SLIB_NETADDR_PREFIX_SIZE);
        if (SLIBNetAddrMaskToPrefix(c.get(), out.get()) == 0)
            QFUZZ_CHECK(strlen(out.get()) < SLIB_NETADDR_PREFIX_SIZE);
        auto inplace = Copy(text);
        SLIBNetAddrMaskToPrefix(inplace.get(), nullptr);
        QFUZZ_CHECK(strlen(inplace.get()) <= text.size());
    }
    {
        auto out = std::make_unique<char[]>(SLIB_NETADDR_MASK_SIZE);
        if (SLIBNetAddrPrefixToMask(t.get(), out.get()) == 0) {
            QFUZZ_CHECK(strlen(out.get()) < SLIB_NETADDR_MASK_SIZE);
            // And back to the prefix form.
            auto back = std::make_unique<char[]>(SLIB_NETADDR_PREFIX_SIZE);
            if (SLIBNetAddrMaskToPrefix(out.get(), back.get()) == 0)
                QFUZZ_CHECK(strchr(back.get(), '/') != nullptr);
        }
    }
    return 0;
}
