-- The nine TPC-C tables on InnoDB, with the column types of the standard,
-- for the fastest load.  Columns are in the order tpcc-gen writes them.
-- Counters and sums that every run adds to are wider than the standard's
-- minimum widths, so that no run of any length, nor any number of runs on
-- one database, overflows them.
--
-- InnoDB keeps each table's rows in its primary key's order, so the primary
-- keys are here from the start: added after the load, each would copy its
-- whole table again.  The load writes every table in key order, which is the
-- order InnoDB appends fastest in, and a duplicate key fails the load.
-- keys.sql adds the secondary indexes once the data is in.
--
-- Text is ASCII with byte order, as the population's is: customers by last
-- and first name sort as they do on PostgreSQL's C collation, so that the
-- by-name rule picks the same customer on both.

CREATE TABLE warehouse (
  w_id       int           NOT NULL,
  w_name     varchar(10)   NOT NULL,
  w_street_1 varchar(20)   NOT NULL,
  w_street_2 varchar(20)   NOT NULL,
  w_city     varchar(20)   NOT NULL,
  w_state    char(2)       NOT NULL,
  w_zip      char(9)       NOT NULL,
  w_tax      decimal(4,4)  NOT NULL,
  w_ytd      decimal(20,2) NOT NULL,
  PRIMARY KEY (w_id)
) ENGINE = InnoDB DEFAULT CHARSET = ascii COLLATE = ascii_bin;

CREATE TABLE district (
  d_id        int           NOT NULL,
  d_w_id      int           NOT NULL,
  d_name      varchar(10)   NOT NULL,
  d_street_1  varchar(20)   NOT NULL,
  d_street_2  varchar(20)   NOT NULL,
  d_city      varchar(20)   NOT NULL,
  d_state     char(2)       NOT NULL,
  d_zip       char(9)       NOT NULL,
  d_tax       decimal(4,4)  NOT NULL,
  d_ytd       decimal(20,2) NOT NULL,
  d_next_o_id int           NOT NULL,
  PRIMARY KEY (d_w_id, d_id)
) ENGINE = InnoDB DEFAULT CHARSET = ascii COLLATE = ascii_bin;

CREATE TABLE customer (
  c_id           int           NOT NULL,
  c_d_id         int           NOT NULL,
  c_w_id         int           NOT NULL,
  c_first        varchar(16)   NOT NULL,
  c_middle       char(2)       NOT NULL,
  c_last         varchar(16)   NOT NULL,
  c_street_1     varchar(20)   NOT NULL,
  c_street_2     varchar(20)   NOT NULL,
  c_city         varchar(20)   NOT NULL,
  c_state        char(2)       NOT NULL,
  c_zip          char(9)       NOT NULL,
  c_phone        char(16)      NOT NULL,
  c_since        datetime(6)   NOT NULL,
  c_credit       char(2)       NOT NULL,
  c_credit_lim   decimal(12,2) NOT NULL,
  c_discount     decimal(4,4)  NOT NULL,
  c_balance      decimal(20,2) NOT NULL,
  c_ytd_payment  decimal(20,2) NOT NULL,
  c_payment_cnt  bigint        NOT NULL,
  c_delivery_cnt bigint        NOT NULL,
  c_data         varchar(500)  NOT NULL,
  PRIMARY KEY (c_w_id, c_d_id, c_id)
) ENGINE = InnoDB DEFAULT CHARSET = ascii COLLATE = ascii_bin;

-- No key of the standard: InnoDB gives it a hidden one.
CREATE TABLE history (
  h_c_id   int          NOT NULL,
  h_c_d_id int          NOT NULL,
  h_c_w_id int          NOT NULL,
  h_d_id   int          NOT NULL,
  h_w_id   int          NOT NULL,
  h_date   datetime(6)  NOT NULL,
  h_amount decimal(6,2) NOT NULL,
  h_data   varchar(24)  NOT NULL
) ENGINE = InnoDB DEFAULT CHARSET = ascii COLLATE = ascii_bin;

CREATE TABLE orders (
  o_id         int         NOT NULL,
  o_d_id       int         NOT NULL,
  o_w_id       int         NOT NULL,
  o_c_id       int         NOT NULL,
  o_entry_d    datetime(6) NOT NULL,
  o_carrier_id int,
  o_ol_cnt     decimal(2)  NOT NULL,
  o_all_local  decimal(1)  NOT NULL,
  PRIMARY KEY (o_w_id, o_d_id, o_id)
) ENGINE = InnoDB DEFAULT CHARSET = ascii COLLATE = ascii_bin;

CREATE TABLE new_order (
  no_o_id int NOT NULL,
  no_d_id int NOT NULL,
  no_w_id int NOT NULL,
  PRIMARY KEY (no_w_id, no_d_id, no_o_id)
) ENGINE = InnoDB DEFAULT CHARSET = ascii COLLATE = ascii_bin;

CREATE TABLE order_line (
  ol_o_id        int          NOT NULL,
  ol_d_id        int          NOT NULL,
  ol_w_id        int          NOT NULL,
  ol_number      int          NOT NULL,
  ol_i_id        int          NOT NULL,
  ol_supply_w_id int          NOT NULL,
  ol_delivery_d  datetime(6),
  ol_quantity    decimal(2)   NOT NULL,
  ol_amount      decimal(6,2) NOT NULL,
  ol_dist_info   char(24)     NOT NULL,
  PRIMARY KEY (ol_w_id, ol_d_id, ol_o_id, ol_number)
) ENGINE = InnoDB DEFAULT CHARSET = ascii COLLATE = ascii_bin;

CREATE TABLE item (
  i_id    int          NOT NULL,
  i_im_id int          NOT NULL,
  i_name  varchar(24)  NOT NULL,
  i_price decimal(5,2) NOT NULL,
  i_data  varchar(50)  NOT NULL,
  PRIMARY KEY (i_id)
) ENGINE = InnoDB DEFAULT CHARSET = ascii COLLATE = ascii_bin;

CREATE TABLE stock (
  s_i_id       int         NOT NULL,
  s_w_id       int         NOT NULL,
  s_quantity   decimal(4)  NOT NULL,
  s_dist_01    char(24)    NOT NULL,
  s_dist_02    char(24)    NOT NULL,
  s_dist_03    char(24)    NOT NULL,
  s_dist_04    char(24)    NOT NULL,
  s_dist_05    char(24)    NOT NULL,
  s_dist_06    char(24)    NOT NULL,
  s_dist_07    char(24)    NOT NULL,
  s_dist_08    char(24)    NOT NULL,
  s_dist_09    char(24)    NOT NULL,
  s_dist_10    char(24)    NOT NULL,
  s_ytd        bigint      NOT NULL,
  s_order_cnt  bigint      NOT NULL,
  s_remote_cnt bigint      NOT NULL,
  s_data       varchar(50) NOT NULL,
  PRIMARY KEY (s_w_id, s_i_id)
) ENGINE = InnoDB DEFAULT CHARSET = ascii COLLATE = ascii_bin;
