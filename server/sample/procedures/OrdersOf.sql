-- The orders of one customer, newest first, and the customer's total.
--! param @CustomerId
select Id, OrderedAt, Amount from Orders where CustomerId = @CustomerId order by OrderedAt desc
select sum(Amount) as Total from Orders where CustomerId = @CustomerId
