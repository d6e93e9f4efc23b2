-- Demo data for a small site, for both dialects (SQLite reads the MariaDB
-- backtick quoting of `loop` as well). One computer "gatepc" with one loop on
-- COM1: an entry reader, an exit reader, a barcode exit reader and a ticket
-- spitter, one car park of 100 spaces, three card types and a few cards.

INSERT INTO `loop` (id, name, enabled, port, rfmodem) VALUES (1, 'gatepc', 1, 1, 0);

INSERT INTO messages (id, idle, gateup, accepted, not_on_file, access, inac_tive, passback,
                      max_group, not_on_path)
VALUES (1, 'Present card', 'Gate open', 'Welcome %f %l', 'Card %c unknown', 'No access now',
        'Card expired', 'Passback!', 'Group full', 'Wrong path');
INSERT INTO messages (id, idle, gateup, accepted, not_on_file, access, inac_tive, passback,
                      max_group, not_on_path)
VALUES (2, 'Visitors', 'Gate open', 'Hello %f, %d uses left', 'Card %c unknown', 'No access now',
        'No uses left', 'Passback!', 'Group full', 'Wrong path');

INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (1, 'Main car park', 0, 100);
INSERT INTO counters (id, name, lot_id) VALUES (1, 'Main car park', 1);

INSERT INTO device (id, loop_id, addr_ess, name, device_type, msg_id, lot_id, dir_ection,
                    open_pulse, debit_flag, lf_enabled, lf_sign, lf_output)
VALUES (1, 1, 1, 'Entry reader', 0, 1, 1, 1, 5, 1, 1, 1, 2);
INSERT INTO device (id, loop_id, addr_ess, name, device_type, msg_id, lot_id, dir_ection,
                    open_pulse)
VALUES (2, 1, 2, 'Exit reader', 0, 1, 1, 2, 5);
INSERT INTO device (id, loop_id, addr_ess, name, device_type, msg_id, lot_id, dir_ection,
                    open_pulse)
VALUES (3, 1, 3, 'Exit barcode reader', 2, 1, 1, 2, 5);
INSERT INTO device (id, loop_id, addr_ess, name, device_type, msg_id, lot_id, dir_ection,
                    open_pulse)
VALUES (4, 1, 4, 'Ticket spitter', 1, 1, 1, 1, 5);

-- Granted passes (input 7) count into the lot at the entries, out at the exits.
INSERT INTO counter_item (id, device_id, input, cntr_id, chg_lot) VALUES (1, 1, 7, 1, 1);
INSERT INTO counter_item (id, device_id, input, cntr_id, chg_lot) VALUES (2, 2, 7, 1, 2);
INSERT INTO counter_item (id, device_id, input, cntr_id, chg_lot) VALUES (3, 3, 7, 1, 2);
INSERT INTO counter_item (id, device_id, input, cntr_id, chg_lot) VALUES (4, 4, 7, 1, 1);

INSERT INTO settings (id, reset_tolvsql, auto_reset, auto_reset_group, auto_reset_pathway,
                      reset_time, stup_pbrst, soft_group, soft_path, soft_pb)
VALUES (1, 0, 1, 1, 0, '2024-01-01 03:00:00', 0, 0, 0, 0);

-- Access level 1: always, every day and holiday. Level 2: weekdays 07:00-19:00.
INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7,
                       day_8, day_9, start_time, end_time)
VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, '00:00:00', '00:00:00');
INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7,
                       day_8, day_9, start_time, end_time)
VALUES (2, 2, 0, 1, 1, 1, 1, 1, 0, 0, 0, '07:00:00', '19:00:00');
INSERT INTO a_l_range_device (a_l_range_id, device_id) VALUES (1, 1);
INSERT INTO a_l_range_device (a_l_range_id, device_id) VALUES (1, 2);
INSERT INTO a_l_range_device (a_l_range_id, device_id) VALUES (2, 1);
INSERT INTO a_l_range_device (a_l_range_id, device_id) VALUES (2, 2);

INSERT INTO holiday (holi_day, tab_num) VALUES ('2026-12-25', 1);
INSERT INTO holiday (holi_day, tab_num) VALUES ('2027-01-01', 1);

INSERT INTO card_pool (id, name, max_inlot, cur_inlot) VALUES (1, 'Contractors', 2, 0);

INSERT INTO card_type (id, name, access_level_id, msg_id, no_expiry_flg)
VALUES (1, 'Staff', 1, 1, 1);
INSERT INTO card_type (id, name, access_level_id, msg_id)
VALUES (2, 'Day shift', 2, 1);
INSERT INTO card_type (id, name, access_level_id, msg_id, debit_flg, uses, debit_time_limit,
                       debit_time_limit_flg)
VALUES (3, 'Visitor, 10 uses', 1, 2, 1, 10, 10, 1);

INSERT INTO card (number, type_id, card_type, first_name, last_name, str_eet, start_dt,
                  exp_iry, start_date)
VALUES (1001, 1, 1, 'Ann', 'Lee', '1 Harbour Road', '2024-01-01 00:00:00',
        '2030-12-31 23:59:59', '2024-01-01 00:00:00');
INSERT INTO card (number, type_id, card_type, first_name, last_name, group_id, start_dt,
                  exp_iry, start_date)
VALUES (1002, 2, 2, 'Bob', 'Hart', 1, '2024-01-01 00:00:00', '2030-12-31 23:59:59',
        '2024-01-01 00:00:00');
INSERT INTO card (number, type_id, card_type, first_name, last_name, start_dt, exp_iry,
                  prev_strt, prev_exp, start_date)
VALUES (1003, 2, 2, 'Cid', 'Moss', '2023-01-01 00:00:00', '2023-12-31 23:59:59',
        '2022-01-01 00:00:00', '2022-12-31 23:59:59', '2023-01-01 00:00:00');
INSERT INTO card (number, type_id, card_type, first_name, last_name, debit_left, start_dt,
                  exp_iry, start_date)
VALUES (1004, 3, 3, 'Dee', 'Ward', 10, '2024-01-01 00:00:00', '2030-12-31 23:59:59',
        '2024-01-01 00:00:00');

INSERT INTO spots (number, floor) VALUES (12, 2);
