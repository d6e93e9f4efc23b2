-- orlocard reference schema, SQLite dialect (the embedded default).
-- Every table and column the controller reads or writes, with types that give
-- the statement layer the right column categories: dates and date-times as
-- DATETIME/DATE, times of day as TIME, flags and counts as INTEGER, card
-- numbers as DOUBLE, texts as VARCHAR. Keep in step with mariadb.sql.

CREATE TABLE loop (
  id INTEGER PRIMARY KEY,
  name VARCHAR(50) NOT NULL DEFAULT '',
  enabled INTEGER NOT NULL DEFAULT 1,
  port INTEGER NOT NULL DEFAULT 1,
  rfmodem INTEGER NOT NULL DEFAULT 0,
  lastupdate DATETIME
);
CREATE INDEX loop_name ON loop (name);

CREATE TABLE device (
  id INTEGER PRIMARY KEY,
  loop_id INTEGER NOT NULL,
  addr_ess INTEGER NOT NULL,
  name VARCHAR(50) NOT NULL DEFAULT '',
  device_type INTEGER NOT NULL DEFAULT 0,
  msg_id INTEGER NOT NULL DEFAULT 0,
  lot_id INTEGER NOT NULL DEFAULT 0,
  dir_ection INTEGER NOT NULL DEFAULT 0,
  open_pulse DOUBLE NOT NULL DEFAULT 5,
  debit_flag INTEGER NOT NULL DEFAULT 0,
  special_out INTEGER NOT NULL DEFAULT 0,
  no_path INTEGER NOT NULL DEFAULT 0,
  online_flag INTEGER NOT NULL DEFAULT 0,
  gate_up INTEGER NOT NULL DEFAULT 0,
  perm_open INTEGER NOT NULL DEFAULT 0,
  open_flag INTEGER NOT NULL DEFAULT 0,
  remote_user VARCHAR(50),
  remote_ip VARCHAR(50),
  lf_enabled INTEGER NOT NULL DEFAULT 0,
  lf_sign INTEGER NOT NULL DEFAULT 0,
  lf_output INTEGER NOT NULL DEFAULT 2,
  lf_output_flag INTEGER NOT NULL DEFAULT 0,
  lf_sign_flag INTEGER NOT NULL DEFAULT 0,
  count1 INTEGER NOT NULL DEFAULT 0,
  count2 INTEGER NOT NULL DEFAULT 0,
  count3 INTEGER NOT NULL DEFAULT 0,
  count4 INTEGER NOT NULL DEFAULT 0,
  count5 INTEGER NOT NULL DEFAULT 0,
  count_soft INTEGER NOT NULL DEFAULT 0,
  door_input INTEGER NOT NULL DEFAULT 0,
  ajar_timer INTEGER NOT NULL DEFAULT 0,
  ajar_output INTEGER NOT NULL DEFAULT 0,
  fire_input INTEGER NOT NULL DEFAULT 0,
  fire_flag INTEGER NOT NULL DEFAULT 0,
  door_ajar INTEGER NOT NULL DEFAULT 0,
  alarm_ack INTEGER NOT NULL DEFAULT 0,
  ptr_paper INTEGER,
  ptr_hdwr INTEGER,
  ptr_fail INTEGER,
  ptr_stat INTEGER,
  ptr_paper2 INTEGER,
  ptr_hdwr2 INTEGER,
  ptr_fail2 INTEGER,
  ptr_stat2 INTEGER
);
CREATE UNIQUE INDEX device_loop_addr ON device (loop_id, addr_ess);
CREATE INDEX device_lot ON device (lot_id);

CREATE TABLE messages (
  id INTEGER PRIMARY KEY,
  idle VARCHAR(128),
  gateup VARCHAR(128),
  accepted VARCHAR(128),
  not_on_file VARCHAR(128),
  access VARCHAR(128),
  inac_tive VARCHAR(128),
  passback VARCHAR(128),
  max_group VARCHAR(128),
  not_on_path VARCHAR(128)
);

CREATE TABLE settings (
  id INTEGER PRIMARY KEY,
  reset_tolvsql INTEGER NOT NULL DEFAULT 0,
  auto_reset INTEGER NOT NULL DEFAULT 0,
  auto_reset_group INTEGER NOT NULL DEFAULT 0,
  auto_reset_pathway INTEGER NOT NULL DEFAULT 0,
  reset_time DATETIME,
  auto_now INTEGER NOT NULL DEFAULT 0,
  auto_now_grp INTEGER NOT NULL DEFAULT 0,
  stup_pbrst INTEGER NOT NULL DEFAULT 0,
  soft_group INTEGER NOT NULL DEFAULT 0,
  soft_path INTEGER NOT NULL DEFAULT 0,
  soft_pb INTEGER NOT NULL DEFAULT 0
);

CREATE TABLE spots (
  number INTEGER PRIMARY KEY,
  floor INTEGER NOT NULL DEFAULT 0
);

CREATE TABLE card_type (
  id INTEGER PRIMARY KEY,
  name VARCHAR(50) NOT NULL DEFAULT '',
  access_level_id INTEGER NOT NULL DEFAULT 0,
  msg_id INTEGER NOT NULL DEFAULT 0,
  pathway_id INTEGER NOT NULL DEFAULT 0,
  ignore_passback INTEGER NOT NULL DEFAULT 0,
  global_expiry INTEGER NOT NULL DEFAULT 0,
  first_use_flg INTEGER NOT NULL DEFAULT 0,
  no_expiry_flg INTEGER NOT NULL DEFAULT 0,
  days INTEGER NOT NULL DEFAULT 0,
  debit_flg INTEGER NOT NULL DEFAULT 0,
  debit_reset_flag INTEGER NOT NULL DEFAULT 0,
  uses INTEGER NOT NULL DEFAULT 0,
  debit_time_limit INTEGER NOT NULL DEFAULT 0,
  debit_time_limit_flg INTEGER NOT NULL DEFAULT 0,
  date_set INTEGER NOT NULL DEFAULT 0,
  start_dt DATETIME,
  exp_iry DATETIME,
  prev_strt DATETIME,
  prev_exp DATETIME,
  start_date DATETIME,
  debit_left INTEGER NOT NULL DEFAULT 0
);

CREATE TABLE card (
  number DOUBLE PRIMARY KEY,
  type_id INTEGER NOT NULL DEFAULT 0,
  card_type INTEGER NOT NULL DEFAULT 0,
  first_name VARCHAR(50),
  last_name VARCHAR(50),
  str_eet VARCHAR(80),
  misc_1 VARCHAR(50),
  misc_2 VARCHAR(50),
  misc_3 VARCHAR(50),
  misc_4 VARCHAR(50),
  space_no INTEGER NOT NULL DEFAULT 0,
  group_id INTEGER NOT NULL DEFAULT 0,
  in_lot INTEGER NOT NULL DEFAULT 0,
  in_gate INTEGER NOT NULL DEFAULT -1,
  trans_dt DATETIME,
  date_set INTEGER NOT NULL DEFAULT 0,
  start_dt DATETIME,
  exp_iry DATETIME,
  prev_strt DATETIME,
  prev_exp DATETIME,
  start_date DATETIME,
  debit_left INTEGER NOT NULL DEFAULT 0,
  debit_date DATETIME,
  debit_reset_date DATETIME
);
CREATE INDEX card_type_id ON card (type_id);
-- card.card_type names the card_type row whose shared first-use period a
-- presentation starts (where the type has global_expiry). A site that leaves
-- it 0 gets the card's type_id, and it follows type_id while the two agree;
-- a site that sets another value keeps it.
CREATE TRIGGER card_type_on_insert AFTER INSERT ON card
  WHEN NEW.card_type = 0 AND NEW.type_id <> 0
  BEGIN UPDATE card SET card_type = NEW.type_id WHERE number = NEW.number; END;
CREATE TRIGGER card_type_on_update AFTER UPDATE OF type_id, card_type ON card
  WHEN NEW.card_type <> NEW.type_id
   AND (NEW.card_type = 0 OR (NEW.card_type = OLD.card_type AND OLD.card_type = OLD.type_id))
  BEGIN UPDATE card SET card_type = NEW.type_id WHERE number = NEW.number; END;

CREATE TABLE a_l_range (
  id INTEGER PRIMARY KEY,
  access_level_id INTEGER NOT NULL,
  day_1 INTEGER NOT NULL DEFAULT 0,
  day_2 INTEGER NOT NULL DEFAULT 0,
  day_3 INTEGER NOT NULL DEFAULT 0,
  day_4 INTEGER NOT NULL DEFAULT 0,
  day_5 INTEGER NOT NULL DEFAULT 0,
  day_6 INTEGER NOT NULL DEFAULT 0,
  day_7 INTEGER NOT NULL DEFAULT 0,
  day_8 INTEGER NOT NULL DEFAULT 0,
  day_9 INTEGER NOT NULL DEFAULT 0,
  start_time TIME,
  end_time TIME
);
CREATE INDEX a_l_range_level ON a_l_range (access_level_id);

CREATE TABLE a_l_range_device (
  a_l_range_id INTEGER NOT NULL,
  device_id INTEGER NOT NULL,
  PRIMARY KEY (a_l_range_id, device_id)
);

CREATE TABLE holiday (
  holi_day DATE NOT NULL,
  tab_num INTEGER NOT NULL DEFAULT 1
);
CREATE INDEX holiday_day ON holiday (holi_day);

CREATE TABLE card_pool (
  id INTEGER PRIMARY KEY,
  name VARCHAR(50) NOT NULL DEFAULT '',
  max_inlot INTEGER NOT NULL DEFAULT 0,
  cur_inlot INTEGER NOT NULL DEFAULT 0
);

CREATE TABLE pathway_ft (
  pathway_id INTEGER NOT NULL,
  from_device INTEGER NOT NULL,
  to_device INTEGER NOT NULL,
  time_limit INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY (pathway_id, from_device, to_device)
);

CREATE TABLE trans (
  id INTEGER PRIMARY KEY,
  card_no DOUBLE,
  dat_e DATETIME,
  device_id INTEGER,
  error_code INTEGER,
  error_desc VARCHAR(50),
  cardno DOUBLE,
  device_name VARCHAR(50),
  first_name VARCHAR(50),
  last_name VARCHAR(50),
  mem_flag INTEGER
);
CREATE INDEX trans_date ON trans (dat_e);

CREATE TABLE lot (
  id INTEGER PRIMARY KEY,
  name VARCHAR(50) NOT NULL DEFAULT '',
  lot_count INTEGER NOT NULL DEFAULT 0,
  max_capacity INTEGER NOT NULL DEFAULT 0,
  auto_r_count INTEGER NOT NULL DEFAULT 0,
  auto_r_time DATETIME,
  reset_amt INTEGER NOT NULL DEFAULT 0,
  cnt_reset_flag INTEGER NOT NULL DEFAULT 0,
  cnt_reset_time DATETIME,
  cnt_reset_amt INTEGER NOT NULL DEFAULT 0
);

CREATE TABLE counters (
  id INTEGER PRIMARY KEY,
  name VARCHAR(50) NOT NULL DEFAULT '',
  lot_id INTEGER NOT NULL DEFAULT 0
);

CREATE TABLE counter_item (
  id INTEGER PRIMARY KEY,
  device_id INTEGER NOT NULL,
  input INTEGER NOT NULL,
  cntr_id INTEGER NOT NULL,
  chg_lot INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX counter_item_device_input ON counter_item (device_id, input);

CREATE TABLE gateoc (
  id INTEGER PRIMARY KEY,
  device_id INTEGER NOT NULL,
  dayofweek INTEGER NOT NULL,
  start_time TIME,
  end_time TIME
);
CREATE INDEX gateoc_device_day ON gateoc (device_id, dayofweek);

CREATE TABLE tickinv (
  id INTEGER PRIMARY KEY,
  barcode VARCHAR(20),
  ticket INTEGER,
  issuerid INTEGER,
  status INTEGER NOT NULL DEFAULT 0,
  security INTEGER NOT NULL DEFAULT 0,
  in_date DATETIME,
  out_date DATETIME,
  l_date DATETIME,
  takerid INTEGER,
  online INTEGER,
  tran_id INTEGER
);
CREATE INDEX tickinv_barcode ON tickinv (barcode);
CREATE INDEX tickinv_ticket ON tickinv (ticket);
