-- The number of customers in an output parameter, and as the return value.
--! output @Count
set @Count = (select count(*) from Customers)
return @Count
