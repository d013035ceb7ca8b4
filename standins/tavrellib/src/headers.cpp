// Transport and crypto headers put before data.
//
// Crypto header: "VKCH", the CA type (at most three bytes, NUL-padded to four), the header
// type and the data's length (4 bytes little-endian each), then the data.
// Transport header: the magic "VEKTRH1\0", then fields (sealing.h): the receipt number,
// the CA type, file name, e-mail, client certificate and the data.
// Every field has its length, so data with NUL bytes comes back whole.
#include <atomic>
#include <cstring>

#include "call_record.h"
#include "library.h"
#include "sealing.h"

namespace tavrel_standin {
namespace {

const unsigned char crypto_magic[4] = {'V', 'K', 'C', 'H'};
const unsigned char transport_magic[8] = {'V', 'E', 'K', 'T', 'R', 'H', '1', 0};
constexpr size_t max_ca_type_size = 3;  // KT_HEADER_MAX_CA_TYPE_SIZE
constexpr size_t crypto_header_size = sizeof crypto_magic + max_ca_type_size + 1 + 8;
constexpr DWORD first_part_type = 1, last_part_type = 4;  // KT_HEADER_PART_TYPE_SIGNED .. _CERTCRYPT

std::atomic<uint32_t> last_receipt{0};

std::string text_or_empty(const char *text) { return text ? text : ""; }

uint32_t read_number(const unsigned char *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace
}  // namespace tavrel_standin

using namespace tavrel_standin;

extern "C" {

DWORD KTAppendTransportHeader(char *pszCAType, char *pszFileName, char *pszClientEMail, unsigned char *pbClientCert,
                              DWORD dwClientCertLength, unsigned char *pbCryptoData, DWORD dwCryptoDataLength,
                              unsigned char **ppbTransportData, DWORD *pdwTransportDataLength) {
    call_record(__func__).text(pszCAType).text(pszFileName).text(pszClientEMail)
        .bytes(pbClientCert, dwClientCertLength).number(dwClientCertLength).bytes(pbCryptoData, dwCryptoDataLength)
        .number(dwCryptoDataLength).pointer(ppbTransportData).pointer(pdwTransportDataLength);
    STANDIN_ENTER();
    if (!pszCAType || !pdwTransportDataLength || (!pbClientCert && dwClientCertLength) ||
        (!pbCryptoData && dwCryptoDataLength))
        return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        field_writer fields;
        fields.number(++last_receipt).blob(text_or_empty(pszCAType)).blob(text_or_empty(pszFileName));
        fields.blob(text_or_empty(pszClientEMail)).blob(pbClientCert, dwClientCertLength);
        fields.blob(pbCryptoData, dwCryptoDataLength);
        bytes header(transport_magic, transport_magic + sizeof transport_magic);
        header.insert(header.end(), fields.data().begin(), fields.data().end());
        output_batch outputs(__func__);
        outputs.buffer(7, header, ppbTransportData, pdwTransportDataLength);
        write_lent_text(__func__, 0, pszCAType);
        write_lent_text(__func__, 1, pszFileName);
        write_lent_text(__func__, 2, pszClientEMail);
        return outputs.commit();
    });
}

DWORD KTParseTransportHeader(unsigned char *pbTransportData, DWORD dwTransportDataLength, DWORD *pdwReceiptNumber,
                             unsigned char **ppbCryptoData, DWORD *pdwCryptoDataLength) {
    call_record(__func__).bytes(pbTransportData, dwTransportDataLength).number(dwTransportDataLength)
        .pointer(pdwReceiptNumber).pointer(ppbCryptoData).pointer(pdwCryptoDataLength);
    STANDIN_ENTER();
    if (!pbTransportData || !pdwCryptoDataLength) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        if (dwTransportDataLength < sizeof transport_magic ||
            std::memcmp(pbTransportData, transport_magic, sizeof transport_magic) != 0)
            return TAVREL_STANDIN_ERROR_CRYPTO;
        field_reader r(pbTransportData + sizeof transport_magic, dwTransportDataLength - sizeof transport_magic);
        uint32_t receipt = 0;
        std::string ca_type, file_name, email;
        bytes certificate, data;
        if (!r.number(&receipt) || !r.blob(&ca_type) || !r.blob(&file_name) || !r.blob(&email) ||
            !r.blob(&certificate) || !r.blob(&data) || !r.at_end())
            return TAVREL_STANDIN_ERROR_CRYPTO;
        output_batch outputs(__func__);
        outputs.buffer(3, data, ppbCryptoData, pdwCryptoDataLength);
        if (pdwReceiptNumber) *pdwReceiptNumber = receipt;
        return outputs.commit();
    });
}

DWORD KTAppendCryptoHeader(char *pszCAType, DWORD dwHeaderType, unsigned char *pbCryptoData, DWORD dwCryptoDataLength,
                           unsigned char **ppbTransportData, DWORD *pdwTransportDataLength) {
    call_record(__func__).text(pszCAType).number(dwHeaderType).bytes(pbCryptoData, dwCryptoDataLength)
        .number(dwCryptoDataLength).pointer(ppbTransportData).pointer(pdwTransportDataLength);
    STANDIN_ENTER();
    if (!pszCAType || !*pszCAType || std::strlen(pszCAType) > max_ca_type_size || dwHeaderType < first_part_type ||
        dwHeaderType > last_part_type || (!pbCryptoData && dwCryptoDataLength) || dwCryptoDataLength > UINT32_MAX ||
        !pdwTransportDataLength)
        return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        bytes header(crypto_magic, crypto_magic + sizeof crypto_magic);
        header.resize(header.size() + max_ca_type_size + 1, 0);
        std::memcpy(header.data() + sizeof crypto_magic, pszCAType, std::strlen(pszCAType));
        field_writer numbers;
        numbers.number(uint32_t(dwHeaderType)).number(uint32_t(dwCryptoDataLength));
        header.insert(header.end(), numbers.data().begin(), numbers.data().end());
        if (dwCryptoDataLength) header.insert(header.end(), pbCryptoData, pbCryptoData + dwCryptoDataLength);
        output_batch outputs(__func__);
        outputs.buffer(4, header, ppbTransportData, pdwTransportDataLength);
        write_lent_text(__func__, 0, pszCAType);
        return outputs.commit();
    });
}

DWORD KTParseCryptoHeader(unsigned char *pbTransportData, DWORD dwTransportDataLength, char *pszCAType,
                          DWORD *pdwHeaderType, DWORD *pdwHeaderSize, unsigned char **ppbCryptoData,
                          DWORD *pdwCryptoDataLength) {
    call_record(__func__).bytes(pbTransportData, dwTransportDataLength).number(dwTransportDataLength)
        .text(pszCAType).pointer(pdwHeaderType).pointer(pdwHeaderSize).pointer(ppbCryptoData)
        .pointer(pdwCryptoDataLength);
    STANDIN_ENTER();
    if (!pbTransportData || !pdwCryptoDataLength) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        if (dwTransportDataLength < crypto_header_size ||
            std::memcmp(pbTransportData, crypto_magic, sizeof crypto_magic) != 0)
            return TAVREL_STANDIN_ERROR_CRYPTO;
        const unsigned char *ca_type = pbTransportData + sizeof crypto_magic;
        const unsigned char *numbers = ca_type + max_ca_type_size + 1;
        uint32_t type = read_number(numbers), size = read_number(numbers + 4);
        if (ca_type[max_ca_type_size] != 0 || size != dwTransportDataLength - crypto_header_size)
            return TAVREL_STANDIN_ERROR_CRYPTO;
        bytes data(pbTransportData + crypto_header_size, pbTransportData + dwTransportDataLength);
        output_batch outputs(__func__);
        outputs.buffer(5, data, ppbCryptoData, pdwCryptoDataLength);
        // The CA type is this function's one text output: the module lends a buffer for it.
        if (pszCAType) std::memcpy(pszCAType, ca_type, max_ca_type_size + 1);
        write_lent_text(__func__, 2, pszCAType);
        if (pdwHeaderType) *pdwHeaderType = type;
        if (pdwHeaderSize) *pdwHeaderSize = crypto_header_size;
        return outputs.commit();
    });
}

}  // extern "C"
