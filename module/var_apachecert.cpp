// The certificate table: one row per TLS port and name sent as SNI, indexed
// by the port and the name (its length, then one arc per byte; a port whose
// names are unknown has one row with the empty name). Rows run in OID order.
// The handshakes are made by the module's tick (refresh_certificates), never
// inside a request: the handler only reads what they found.
#include <stdint.h>
#include <string.h>

#include "collect/pages/certificates.h"
#include "module/long_index.h"
#include "module/ostrik.h"
#include "platform/clock.h"
#include "varnock.h"

namespace {

struct RowKey {
  uint32_t arcs[2 + CERT_NAME_MAX];
  int32_t length;
};

bool key_of(const CertificateView &view, RowKey *key) {
  if (view.nameLength > CERT_NAME_MAX) {
    return false;
  }
  key->arcs[0] = static_cast<uint32_t>(view.port);
  key->arcs[1] = static_cast<uint32_t>(view.nameLength);
  for (size_t i = 0; i < view.nameLength; ++i) {
    key->arcs[2 + i] = static_cast<unsigned char>(view.name[i]);
  }
  key->length = static_cast<int32_t>(2 + view.nameLength);
  return true;
}

unsigned char *answer_int(int32_t value, int32_t *valueLength) {
  value_int = value;
  *valueLength = 4;
  return reinterpret_cast<unsigned char *>(&value_int);
}

unsigned char *answer_text(const char *text, size_t length, int32_t *valueLength) {
  if (length > sizeof value_text - 1) {
    length = sizeof value_text - 1;
  }
  memcpy(value_text, text, length);
  value_text[length] = '\0';
  *valueLength = static_cast<int32_t>(length);
  return reinterpret_cast<unsigned char *>(value_text);
}

} // namespace

namespace {

// Certificate times are bounded (years 0 to 9999 in X.509); a value beyond
// is held to about 35,000 years either side, so that no sum overflows.
int64_t bounded(int64_t seconds) {
  constexpr int64_t kBound = int64_t{1} << 40;
  return seconds > kBound ? kBound : seconds < -kBound ? -kBound : seconds;
}

} // namespace

void date_and_time(int64_t seconds, unsigned char out[11]) {
  seconds = bounded(seconds);
  // Days and seconds of the day, then the civil date of the day count
  // (proleptic Gregorian), as UTC with its explicit "+0:0" zone.
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  year = year < 0 ? 0 : year > 65535 ? 65535 : year;
  out[0] = static_cast<unsigned char>(year >> 8);
  out[1] = static_cast<unsigned char>(year & 0xFF);
  out[2] = static_cast<unsigned char>(month);
  out[3] = static_cast<unsigned char>(day);
  out[4] = static_cast<unsigned char>(rest / 3600);
  out[5] = static_cast<unsigned char>(rest / 60 % 60);
  out[6] = static_cast<unsigned char>(rest % 60);
  out[7] = 0;
  out[8] = '+';
  out[9] = 0;
  out[10] = 0;
}

namespace {

unsigned char *cert_column(const MibVariable *var, const CertificateView &view,
                           int32_t *valueLength) {
  const TlsPeerCertificate *cert = view.cert;
  switch (var->magic) {
  case 1:
    return answer_int(view.port, valueLength);
  case 2:
    return answer_text(view.name, view.nameLength, valueLength);
  case 3:
    return answer_int(view.serverPort, valueLength);
  case 4:
    return answer_int(view.outcome, valueLength);
  case 5: {
    if (view.checkedAt == 0) {
      return nullptr;
    }
    const int32_t age = platform_seconds_between(view.checkedAt, platform_time());
    return answer_int(age > 0 ? age : 0, valueLength);
  }
  case 13: {
    const char *problem = view.problem[0] != '\0'                       ? view.problem
                          : cert != nullptr && cert->chainVerified == 0 ? cert->problem
                                                                        : "";
    return answer_text(problem, strlen(problem), valueLength);
  }
  default:
    break;
  }
  if (cert == nullptr) {
    return nullptr; // no certificate read yet: no instance
  }
  switch (var->magic) {
  case 6:
    return answer_text(cert->subject, strlen(cert->subject), valueLength);
  case 7:
    return answer_text(cert->issuer, strlen(cert->issuer), valueLength);
  case 8:
  case 9: {
    unsigned char date[11];
    date_and_time(var->magic == 8 ? cert->notBefore : cert->notAfter, date);
    return answer_text(reinterpret_cast<const char *>(date), sizeof date, valueLength);
  }
  case 10: {
    const int64_t left = bounded(cert->notAfter) - static_cast<int64_t>(platform_time());
    return answer_int(left > INT32_MAX   ? INT32_MAX
                      : left < INT32_MIN ? INT32_MIN
                                         : static_cast<int32_t>(left),
                      valueLength);
  }
  case 11:
    return answer_int(cert->chainVerified == 1 ? 1 : 2, valueLength); // TruthValue
  case 12:
    return answer_int(view.nameMatch, valueLength);
  default:
    return nullptr;
  }
}

} // namespace

unsigned char *var_apachecert(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                              int32_t *valueLength, void **writeMethod) {
  LongIndexAsk ask;
  if (!long_index_ask(var, oid, oidLength, exact, valueLength, writeMethod, &ask)) {
    return nullptr;
  }

  CertificateView view;
  for (size_t i = 0; certificate_at(i, &view); ++i) {
    RowKey key;
    if (!key_of(view, &key) || !long_index_fits(ask, key.arcs, key.length)) {
      continue;
    }
    int32_t length = 0;
    unsigned char *value = cert_column(var, view, &length);
    bool pass = false;
    unsigned char *answer = long_index_answer(var, ask, key.arcs, key.length, value, length, oid,
                                              oidLength, valueLength, writeMethod, &pass);
    if (!pass) {
      return answer;
    }
  }
  return nullptr;
}
