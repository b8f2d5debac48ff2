-- The tests' own procedure: stores a binary value under an id in PyBlobs (which the test makes).
--! param @Id
--! param @Data
insert into PyBlobs (Id, Data) values (@Id, @Data)
return 1
