// Count-limited cards (debit of a use, monthly refill, the debit date), the
// transaction row of every presentation and the display-message templates.
#include "access/cardcheck.h"
#include "access/checkdetail.h"
#include "db/sql.h"

namespace orlo {

bool DebitCard(TODBC& odbc, TODBCStatement& card, TODBCStatement& cardType, TDateTime transTime) {
  const bool debitFlg = cardType.FieldAsBoolean("debit_flg");
  const bool resetFlag = cardType.FieldAsBoolean("debit_reset_flag");
  if (!debitFlg && !resetFlag) return false;
  const long long t = detail::Ms(transTime);
  TODBCStatement& holder = cardType.FieldAsBoolean("global_expiry") ? cardType : card;
  if (!(t > detail::Ms(holder.FieldAsDateTime("start_date")))) return false;
  // A repeated pass within the window after the last debit is free.
  const long long windowEnd = detail::PlusMinutesMs(card.FieldAsDateTime("debit_date"),
                                                    cardType.FieldAsInteger("debit_time_limit"));
  if (cardType.FieldAsBoolean("debit_time_limit_flg") && !(t > windowEnd)) return false;

  const double number = card.FieldAsFloat("number");
  TODBCStatement q(odbc);
  if (resetFlag && detail::Ms(card.FieldAsDateTime("debit_reset_date")) < t) {
    // The refilling pass takes the first of the new uses; the next refill is
    // due after the last second of this month.
    detail::Seen(
        q, q.ExecSQLFmt(
               "UPDATE card SET debit_left = %d, debit_reset_date = {ts '%s'} WHERE number = %f",
               static_cast<long long>(cardType.FieldAsInteger("uses")) - 1,
               detail::MonthEndText(transTime), number));
  } else {
    detail::Seen(
        q, q.ExecSQLFmt("UPDATE card SET debit_left = %d WHERE number = %f",
                        static_cast<long long>(card.FieldAsInteger("debit_left")) - 1, number));
  }
  return true;
}

void UpdateDebitDate(TODBCStatement& update, double cardNo, TDateTime transTime) {
  TSql sql(dbkMySQL);
  sql.AddDateTime("debit_date", transTime);
  std::string text;
  sql.BuildUpdate("UPDATE card", "WHERE number = %f", text);
  detail::Seen(update, update.ExecSQLFmt(text, cardNo));
}

bool WriteTransaction(TODBCStatement& update, TDBKind kind, const TTransRecord& rec) {
  TSql sql(kind);
  sql.AddFloat("card_no", rec.cardNo);
  sql.AddDateTime("dat_e", rec.when);
  sql.AddInt("device_id", rec.deviceId);
  sql.AddInt("error_code", rec.code);
  sql.AddField("error_desc", ResultText(rec.code), true);
  sql.AddFloat("cardno", rec.cardNo);
  sql.AddField("device_name", rec.deviceName, true);
  sql.AddField("first_name", rec.firstName, true);
  sql.AddField("last_name", rec.lastName, true);
  sql.AddInt("mem_flag", rec.memFlag ? 1 : 0);
  std::string text;
  sql.BuildInsert("INSERT INTO trans", "Values", text, "");
  // Run as built: the names may hold '%', so the text never passes a format step.
  return detail::Seen(update, update.ExecSQL(text));
}

std::string ExpandCardMessage(TODBCStatement& card, const std::string& templ,
                              TODBCStatement& cardType, const std::string& cardText) {
  std::string out;
  for (std::size_t i = 0; i < templ.size(); ++i) {
    if (templ[i] != '%') {
      out += templ[i];
      continue;
    }
    if (++i >= templ.size()) break;  // a lone '%' at the end is dropped
    std::string field;
    switch (templ[i]) {
      case '1':
      case '2':
      case '3':
      case '4':
        field = card.FieldAsString(std::string("misc_") + templ[i]);
        break;
      case 'c':
        field = cardText.empty() ? card.FieldAsString("number") : cardText;
        break;
      case 'd':
        if (cardType.FieldAsBoolean("debit_flg")) {
          field = card.FieldAsString("debit_left");
        } else {
          // Whole days from today's midnight, truncated toward zero: negative
          // once the period has ended.
          const long long ms = detail::Ms(card.FieldAsDateTime("exp_iry")) - detail::Ms(Date());
          field = std::to_string(ms / 86400000);
        }
        break;
      case 'f':
        field = card.FieldAsString("first_name");
        break;
      case 'l':
        field = card.FieldAsString("last_name");
        break;
      case 's':
        field = card.FieldAsString("str_eet");
        break;
      default:
        break;  // unknown codes (upper case included) give nothing
    }
    out += field;
  }
  while (!out.empty() && static_cast<unsigned char>(out.back()) <= ' ') out.pop_back();
  return out;
}

}  // namespace orlo
