-- The two secondary indexes drivers need, added after the load (InnoDB then
-- builds each by one sort): Payment and Order-Status find a customer by last
-- name; Order-Status finds the customer's last order.  The primary keys are
-- in schema.sql; foreign_keys.sql adds the references.

ALTER TABLE customer ADD INDEX customer_by_name (c_w_id, c_d_id, c_last, c_first);
ALTER TABLE orders ADD INDEX orders_by_customer (o_w_id, o_d_id, o_c_id, o_id);
