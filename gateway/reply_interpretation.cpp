#include "gateway/gateway.h"
#include "text/text_ops.h"

static const char EMPTY_VALUE[] = "";

// The stretch after `marker` up to the first line end, as a host text the
// caller releases. Null when the marker is absent (a multi-byte marker) or
// the host could not allocate; the caller reports both as the empty text.
static host_text value_after(const char* reply, const char* marker) {
  if (text_length(marker) > 1 && text_index_of(reply, marker) < 0) {
    return nullptr;
  }
  host_text value = text_after(reply, marker);
  text_cut_at(value, "\r");
  text_cut_at(value, "\n");
  return value;
}

static const char* value_or_empty(host_text value) {
  return value != nullptr ? value : EMPTY_VALUE;
}

static void report_accepted(const char* reply, host_handle result_tree) {
  miva_variabletree_setvariable(result_tree, "tv_status", "accepted");
  host_text authcode = value_after(reply, "=");
  host_text transid = value_after(reply, "historyid=");
  host_text orderid = value_after(reply, "orderid=");
  host_text refcode = value_after(reply, "refcode=");
  miva_variabletree_setvariable(result_tree, "tv_authcode",
                                value_or_empty(authcode));
  miva_variabletree_setvariable(result_tree, "tv_transid",
                                value_or_empty(transid));
  miva_variabletree_setvariable(result_tree, "tv_orderid",
                                value_or_empty(orderid));
  miva_variabletree_setvariable(result_tree, "tv_refcode",
                                value_or_empty(refcode));
  miva_free(authcode);
  miva_free(transid);
  miva_free(orderid);
  miva_free(refcode);
}

static void report_declined(const char* reply, host_handle result_tree) {
  miva_variabletree_setvariable(result_tree, "tv_status", "declined");
  host_text reason = value_after(reply, "=");
  miva_variabletree_setvariable(result_tree, "tv_declined_reason",
                                value_or_empty(reason));
  miva_free(reason);
}

bool interpret_reply(char* error_text, const char* reply,
                     host_handle result_tree) {
  const int32_t accepted = text_find_nocase(reply, "Accepted");
  const int32_t declined = text_find_nocase(reply, "Declined");
  // A decline whose reason mentions acceptance ("Declined=Card not
  // accepted") must never reach the host as a payment.
  const bool declined_first = declined >= 0 && declined < accepted;
  if (accepted >= 0 && !declined_first) {
    report_accepted(reply, result_tree);
    return true;
  }
  if (declined >= 0) {
    report_declined(reply, result_tree);
    return true;
  }
  miva_variabletree_setvariable(result_tree, "tv_status", "error");
  if (text_find_nocase(reply, "Invalid") >= 0) {
    set_error_text(error_text,
                   "Invalid Merchant configuration. Please notify Merchant to "
                   "verify their Tarvane setup.");
  } else {
    set_error_text(error_text,
                   "Invalid Tarvane response. Could not get result codes.");
  }
  return false;
}
